#include "render/emit.h"

#include <cmath>

#include "model/ops.h"
#include "model/program.h"
#include "render/explain.h"
#include "render/messages.h"
#include "render/operator_text.h"
#include "text/escape.h"

namespace karva {
namespace {

// How one language spells what the programs need.
struct Language {
  bool c;
  const char* comment;  // starts a comment line
  const char* zero;     // the value of a symbol with no operation
};

constexpr Language C_LANGUAGE = {true, " * ", "0.0"};
constexpr Language PYTHON_LANGUAGE = {false, "# ", "0.0"};

// A double as a literal of the language that reads back as the same bits.
std::string literal(double v, const Language& d) {
  if (std::isnan(v)) return d.c ? "NAN" : "math.nan";
  if (std::isinf(v)) return std::string(v < 0 ? "-" : "") + (d.c ? "INFINITY" : "math.inf");
  std::string text = number_text(v);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}


// What a generated file calls the helper of `op`.
std::string helper_name(const Operator& op) { return "karva_" + std::string(op.helper); }

std::string operand(std::size_t v, const GeneProgram& program, const Language& d) {
  if (v < program.columns) return "c[" + std::to_string(v) + "]";
  if (v == program.columns) return d.zero;
  return "s[" + std::to_string(v - program.columns - 1) + "]";
}

// The helpers of the operators the key uses, in table order, so that a
// compiler warns of none that is unused. They give exactly karva's
// operations; an operator the language spells infix has none.
std::string helpers(const Language& d, const PreparedKey& key) {
  std::array<bool, OPERATOR_COUNT> used{};
  for (const PreparedGene& gene : key.genes)
    for (const Instruction& in : gene.program.code) used[static_cast<std::size_t>(in.op)] = true;
  const auto literal_of = [&d](double v) { return literal(v, d); };
  std::string out;
  for (const Operator& op : OPERATORS) {
    if (op.helper.empty() || !used[static_cast<std::size_t>(op.code)]) continue;
    if (!out.empty() && !d.c) out += "\n\n";
    out += operator_text(d.c ? op.c_helper : op.python_helper, literal_of);
  }
  return out;
}

// The statements of one gene: one per operation, then the scaled value
// stored as column `column`.
std::string gene_code(const PreparedGene& gene, int column, const Language& d) {
  const std::string indent = d.c ? "  " : "    ";
  std::string code;
  for (const Instruction& in : gene.program.code) {
    const std::string a = operand(in.a, gene.program, d);
    std::string value;
    const Operator& op = operator_info(in.op);
    if (!op.helper.empty()) {
      value = helper_name(op) + "(" + a;
      if (op.arity == 2) value += ", " + operand(in.b, gene.program, d);
      value += ")";
    } else {
      value = a + " " + std::string(op.name) + " " + operand(in.b, gene.program, d);
    }
    code += indent + "s[" + std::to_string(in.slot) + "] = " + value + (d.c ? ";\n" : "\n");
  }
  // Product and sum are rounded one after the other, never fused.
  const std::string scaled = operand(gene.program.result, gene.program, d) + " * (" + literal(gene.slope, d) +
                             ") + (" + literal(gene.intercept, d) + ")";
  if (d.c) return code + indent + "c[" + std::to_string(column) + "] = " + scaled + ";\n";
  return code + indent + "c.append(" + scaled + ")\n";
}

// The Python entry point: one row, or rows of them.
std::string python_predict(int n) {
  return "def predict(x):\n"
         "    \"\"\"The prediction for the inputs x, a sequence of " + std::to_string(n) + " numbers; or, for rows of\n"
         "    them (a list of rows, a 2-D array), a list of predictions. A NaN input is a\n"
         "    missing value: its row predicts NaN.\"\"\"\n"
         "    rows = list(x)\n"
         "    if rows and hasattr(rows[0], \"__len__\"):\n"
         "        return [predict_row(row) for row in rows]\n"
         "    return predict_row(rows)\n\n\n";
}

}  // namespace

std::string emit_source(std::string_view language, const std::string& key_name, const Key& key,
                        const PreparedKey& prepared, const std::vector<std::string>& names) {
  const Language& d = language == "c" ? C_LANGUAGE : PYTHON_LANGUAGE;
  const int n = prepared.variable_count;
  std::size_t slots = 0;
  for (const PreparedGene& g : prepared.genes) slots = std::max(slots, g.program.slots);

  std::string head;
  // Names and paths come from the input: written so that none can end the comment.
  const auto line = [&](const std::string& text) { head += d.comment + comment_text(text) + "\n"; };
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

  const std::string count = std::to_string(n);
  std::string code;
  // A NaN in any input is a missing value, as --csv and Key.predict take
  // it: the row's prediction is NaN.
  if (d.c) {
    line("Exact only when multiply and add are never contracted: compile with -ffp-contract=off.");
    code = "/*\n" + head + " */\n#include <math.h>\n\n" + helpers(d, prepared) + "\n";
    code += "double karva_predict(const double *x) {\n";
    code += "  double c[" + std::to_string(prepared.row_width()) + "];\n";
    if (slots > 0) code += "  double s[" + std::to_string(slots) + "];\n";
    code += "  int i;\n  for (i = 0; i < " + count + "; ++i) {\n";
    code += "    if (isnan(x[i])) return NAN;\n    c[i] = x[i];\n  }\n";
  } else {
    const std::string used = helpers(d, prepared);
    code = head + "import math\n\n\n" + used + (used.empty() ? "" : "\n\n") + python_predict(n);
    code += "def predict_row(x):\n";
    code += "    c = [float(v) for v in x]\n";
    code += "    if len(c) != " + count + ":\n";
    code += "        raise ValueError(\"predict needs " + count + " inputs, not %d\" % len(c))\n";
    code += "    if any(v != v for v in c):\n        return math.nan\n";
    if (slots > 0) code += "    s = [0.0] * " + std::to_string(slots) + "\n";
  }
  for (std::size_t j = 0; j < prepared.genes.size(); ++j)
    code += gene_code(prepared.genes[j], n + static_cast<int>(j), d);
  code += d.c ? "  return c[" + std::to_string(prepared.row_width() - 1) + "];\n}\n" : "    return c[-1]\n";
  return code;
}

}  // namespace karva
