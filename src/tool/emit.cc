#include "tool/emit.h"

#include <cmath>

#include "model/ops.h"
#include "tool/explain.h"
#include "tool/messages.h"

namespace karva {
namespace {

// How one language spells what the programs need.
struct Dialect {
  bool c;
  const char* comment;  // starts a comment line
  const char* zero;     // the value of a symbol with no operation
};

constexpr Dialect C_DIALECT = {true, " * ", "0.0"};
constexpr Dialect PYTHON_DIALECT = {false, "# ", "0.0"};

// A double as a literal of the language that reads back as the same bits.
std::string literal(double v, const Dialect& d) {
  if (std::isnan(v)) return d.c ? "NAN" : "math.nan";
  if (std::isinf(v)) return std::string(v < 0 ? "-" : "") + (d.c ? "INFINITY" : "math.inf");
  std::string text = number_text(v);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

// Comment text cannot end a C comment early.
std::string comment_safe(const std::string& text) {
  std::string safe;
  for (std::size_t i = 0; i < text.size(); ++i) {
    safe += text[i];
    if (text[i] == '*' && i + 1 < text.size() && text[i + 1] == '/') safe += ' ';
  }
  return safe;
}

const char* function_of(OpCode op) {
  switch (op) {
    case OpCode::ADD: case OpCode::SUB: case OpCode::MUL: return nullptr;  // infix
    case OpCode::DIV: return "karva_div";
    case OpCode::POW: return "karva_pow";
    case OpCode::ABS: return "karva_abs";
    case OpCode::COS: return "karva_cos";
    case OpCode::CUBE_ROOT: return "karva_cbrt";
    case OpCode::EXP: return "karva_exp";
    case OpCode::LOG: return "karva_log";
    case OpCode::SQRT: return "karva_sqrt";
    case OpCode::ROUND: return "karva_round";
    case OpCode::SIN: return "karva_sin";
  }
  return nullptr;
}

char infix_of(OpCode op) { return op == OpCode::ADD ? '+' : op == OpCode::SUB ? '-' : '*'; }

bool is_binary(OpCode op) { return op <= OpCode::POW; }

std::string operand(std::size_t v, const GeneProgram& program, const Dialect& d) {
  if (v < program.columns) return "c[" + std::to_string(v) + "]";
  if (v == program.columns) return d.zero;
  return "s[" + std::to_string(v - program.columns - 1) + "]";
}

// The helpers give exactly karva's operations. Python's math functions
// raise where C returns a value; those helpers return what C returns.
std::string c_helpers() {
  return "static double karva_div(double x, double y) {\n"
         "  if (y == 0.0) return x > 0.0 ? " + literal(ops::DIV_ZERO_POSITIVE, C_DIALECT) + " : (x < 0.0 ? " +
         literal(ops::DIV_ZERO_NEGATIVE, C_DIALECT) + " : " + literal(ops::DIV_ZERO_OTHER, C_DIALECT) + ");\n"
         "  return x / y;\n"
         "}\n"
         "static double karva_pow(double x, double y) { return pow(fabs(x), y); }\n"
         "static double karva_abs(double x) { return fabs(x); }\n"
         "static double karva_cos(double x) { return cos(x); }\n"
         "static double karva_cbrt(double x) {\n"
         "  double sign = (double)((x > 0.0) - (x < 0.0));\n"
         "  return sign * pow(fabs(x), " + literal(ops::ONE_THIRD, C_DIALECT) + ");\n"
         "}\n"
         "static double karva_exp(double x) { return exp(x); }\n"
         "static double karva_log(double x) { return log(fabs(x)); }\n"
         "static double karva_sqrt(double x) { return sqrt(fabs(x)); }\n"
         "static double karva_round(double x) { return round(x); }\n"
         "static double karva_sin(double x) { return sin(x); }\n";
}

std::string python_helpers() {
  return "def karva_div(x, y):\n"
         "    if y == 0.0:\n"
         "        return " + literal(ops::DIV_ZERO_POSITIVE, PYTHON_DIALECT) + " if x > 0.0 else (" +
         literal(ops::DIV_ZERO_NEGATIVE, PYTHON_DIALECT) + " if x < 0.0 else " +
         literal(ops::DIV_ZERO_OTHER, PYTHON_DIALECT) + ")\n"
         "    return x / y\n\n\n"
         "def karva_pow(x, y):\n"
         "    try:\n"
         "        return math.pow(abs(x), y)\n"
         "    except OverflowError:\n"
         "        return math.inf\n"
         "    except ValueError:  # 0 to a negative power\n"
         "        return math.inf\n\n\n"
         "def karva_abs(x):\n"
         "    return abs(x)\n\n\n"
         "def karva_cos(x):\n"
         "    try:\n"
         "        return math.cos(x)\n"
         "    except ValueError:  # an infinity\n"
         "        return math.nan\n\n\n"
         "def karva_cbrt(x):\n"
         "    sign = float((x > 0.0) - (x < 0.0))\n"
         "    return sign * math.pow(abs(x), " + literal(ops::ONE_THIRD, PYTHON_DIALECT) + ")\n\n\n"
         "def karva_exp(x):\n"
         "    try:\n"
         "        return math.exp(x)\n"
         "    except OverflowError:\n"
         "        return math.inf\n\n\n"
         "def karva_log(x):\n"
         "    x = abs(x)\n"
         "    if x == 0.0:\n"
         "        return -math.inf\n"
         "    return math.log(x)\n\n\n"
         "def karva_sqrt(x):\n"
         "    return math.sqrt(abs(x))\n\n\n"
         "def karva_round(x):\n"
         "    # Halfway cases away from zero, as C's round; x - r is exact.\n"
         "    if not math.isfinite(x):\n"
         "        return x\n"
         "    r = float(math.trunc(x))\n"
         "    if abs(x - r) >= 0.5:\n"
         "        r += math.copysign(1.0, x)\n"
         "    return math.copysign(r, x)\n\n\n"
         "def karva_sin(x):\n"
         "    try:\n"
         "        return math.sin(x)\n"
         "    except ValueError:  # an infinity\n"
         "        return math.nan\n";
}

// The statements of one gene: one per operation, then the scaled value
// stored as column `column`.
std::string gene_code(const PreparedGene& gene, int column, const Dialect& d) {
  const std::string indent = d.c ? "  " : "    ";
  std::string code;
  for (const Instruction& in : gene.program.code) {
    const std::string a = operand(in.a, gene.program, d);
    std::string value;
    if (const char* f = function_of(in.op)) {
      value = std::string(f) + "(" + a;
      if (is_binary(in.op)) value += ", " + operand(in.b, gene.program, d);
      value += ")";
    } else {
      value = a + " " + infix_of(in.op) + " " + operand(in.b, gene.program, d);
    }
    code += indent + "s[" + std::to_string(in.slot) + "] = " + value + (d.c ? ";\n" : "\n");
  }
  // Product and sum are rounded one after the other, never fused.
  const std::string scaled = operand(gene.program.result, gene.program, d) + " * (" + literal(gene.slope, d) +
                             ") + (" + literal(gene.intercept, d) + ")";
  if (d.c) return code + indent + "c[" + std::to_string(column) + "] = " + scaled + ";\n";
  return code + indent + "c.append(" + scaled + ")\n";
}

}  // namespace

std::string emit_source(std::string_view language, const std::string& key_name, const Key& key,
                        const PreparedKey& prepared, const std::vector<std::string>& names) {
  const Dialect& d = language == "c" ? C_DIALECT : PYTHON_DIALECT;
  const int n = prepared.variable_count;
  std::size_t slots = 1;
  for (const PreparedGene& g : prepared.genes) slots = std::max(slots, g.program.slots);

  std::string head;
  const auto line = [&](const std::string& text) { head += d.comment + comment_safe(text) + "\n"; };
  line("Predictions of the karva key " + key_name + ": " + std::to_string(n) + " input variables, " +
       std::to_string(key.gene_count()) + " genes.");
  std::string inputs = "Inputs, in this order:";
  for (int m = 0; m < n; ++m) {
    inputs += std::string(m ? "," : "") + " " + letter_name(static_cast<unsigned char>(FIRST_TERMINAL_LETTER + m));
    if (!names.empty()) inputs += " = " + names[static_cast<std::size_t>(m)];
  }
  line(inputs);
  for (int j = 0; j < key.gene_count(); ++j) {
    const auto tree = build_gene(key, j, nullptr);
    const KeyGene& gene = key.genes[static_cast<std::size_t>(j)];
    line("Gene " + std::to_string(j + 1) + ": " +
         letter_name(static_cast<unsigned char>(FIRST_TERMINAL_LETTER + n + j)) + " = " +
         gene_formula(gene.intercept, gene.slope, *tree));
  }
  line("The prediction is the last gene's value.");

  std::string code;
  if (d.c) {
    line("Exact only when multiply and add are never contracted: compile with -ffp-contract=off.");
    code = "/*\n" + head + " */\n#include <math.h>\n\n" + c_helpers() + "\n";
    code += "double karva_predict(const double *x) {\n";
    code += "  double c[" + std::to_string(prepared.row_width()) + "];\n";
    code += "  double s[" + std::to_string(slots) + "];\n";
    code += "  int i;\n  for (i = 0; i < " + std::to_string(n) + "; ++i) c[i] = x[i];\n";
  } else {
    code = head + "import math\n\n\n" + python_helpers() + "\n\n";
    code += "def predict(x):\n";
    code += "    \"\"\"The prediction for the inputs x, a sequence of " + std::to_string(n) + " numbers.\"\"\"\n";
    code += "    c = [float(v) for v in x]\n";
    code += "    if len(c) != " + std::to_string(n) + ":\n";
    code += "        raise ValueError(\"predict needs " + std::to_string(n) + " inputs, not %d\" % len(c))\n";
    code += "    s = [0.0] * " + std::to_string(slots) + "\n";
  }
  for (std::size_t j = 0; j < prepared.genes.size(); ++j)
    code += gene_code(prepared.genes[j], n + static_cast<int>(j), d);
  code += d.c ? "  return c[" + std::to_string(prepared.row_width() - 1) + "];\n}\n" : "    return c[-1]\n";
  return code;
}

int emit(const Options& options, std::FILE* in, std::FILE* out, std::FILE* msg) {
  KeyError key_error;
  const std::optional<Key> key = load_key(options.key_path, &key_error);
  if (!key) {
    std::fputs((key_error_message(key_error) + solution_unreadable_message()).c_str(), msg);
    return EXIT_FAILED;
  }
  PrepareError prepare_error;
  const std::optional<PreparedKey> prepared = prepare_key(*key, &prepare_error);
  if (!prepared) {
    std::fputs(prepare_error_message(prepare_error).c_str(), msg);
    return EXIT_FAILED;
  }
  Header header;
  if (!options.inputs.empty()) {
    // --inputs names the parameters, in the key's order.
    if (static_cast<int>(options.inputs.size()) != key->variable_count) {
      FirstLineError err;
      err.kind = FirstLineError::Kind::MISMATCH;
      err.variable_count = key->variable_count;
      err.inputs = static_cast<std::int64_t>(options.inputs.size());
      std::fputs(first_line_error_message(err).c_str(), msg);
      return EXIT_FAILED;
    }
    header.names = options.inputs;
  } else if (!options.data_path.empty()) {
    header = read_header_names(options, key->variable_count, in, msg);
  }
  if (header.failed) return EXIT_FAILED;
  const std::string source = emit_source(options.emit_language, options.key_path, *key, *prepared, header.names);
  std::fputs(source.c_str(), out);
  return EXIT_OK;
}

}  // namespace karva
