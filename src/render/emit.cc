#include "render/emit.h"

#include <algorithm>
#include <cctype>
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

// The Python entry point `name`: one row, a mapping of the inputs' names
// to values, or rows of either.
std::string python_predict(const std::string& name, const std::vector<std::string>& inputs) {
  std::string listed;
  for (const std::string& input : inputs) listed += (listed.empty() ? "" : ", ") + python_string(input);
  const std::string n = std::to_string(inputs.size());
  return "INPUTS = (" + listed + (inputs.size() == 1 ? ",)" : ")") + "\n\n\n" +
         "def " + name + "(x):\n"
         "    \"\"\"The prediction for the inputs x: a sequence of " + n + " numbers, or a mapping of the\n"
         "    names in INPUTS to numbers; or, for rows of either (a list of rows, a 2-D\n"
         "    array), a list of predictions. A NaN input is a missing value: its row\n"
         "    predicts NaN.\"\"\"\n"
         "    if isinstance(x, dict) or hasattr(x, \"keys\"):\n"
         "        return " + name + "_row([x[name] for name in INPUTS])\n"
         "    rows = list(x)\n"
         "    if rows and (hasattr(rows[0], \"__len__\") or hasattr(rows[0], \"keys\")):\n"
         "        return [" + name + "(row) for row in rows]\n"
         "    return " + name + "_row(rows)\n\n\n";
}

// The C file up to the genes: its comment, helpers and the function's
// start, which takes a NaN input as a missing value (NaN), as --csv and
// Key.predict take it.
std::string c_start(std::string head, const PreparedKey& prepared, std::size_t slots, const std::string& function) {
  const Language& d = C_LANGUAGE;
  head += d.comment + comment_text("Exact only when multiply and add are never contracted: compile with -ffp-contract=off.") + "\n";
  std::string code = "/*\n" + head + " */\n#include <math.h>\n\n" + helpers(d, prepared) + "\n";
  code += "double " + (function.empty() ? std::string("karva_predict") : function) + "(const double *x) {\n";
  code += "  double c[" + std::to_string(prepared.row_width()) + "];\n";
  if (slots > 0) code += "  double s[" + std::to_string(slots) + "];\n";
  code += "  int i;\n  for (i = 0; i < " + std::to_string(prepared.variable_count) + "; ++i) {\n";
  return code + "    if (isnan(x[i])) return NAN;\n    c[i] = x[i];\n  }\n";
}

// The Python module up to the genes: `name` takes rows, rows by name, or
// one row; `name`_row one row, a NaN in it a missing value.
std::string python_start(const std::string& head, const PreparedKey& prepared, std::size_t slots, const std::string& name,
                         const std::vector<std::string>& names) {
  const Language& d = PYTHON_LANGUAGE;
  const int n = prepared.variable_count;
  const std::vector<std::string> inputs = input_names_or_letters(names, n);
  const std::string used = helpers(d, prepared);
  const std::string count = std::to_string(n);
  std::string code = head + "import math\n\n\n" + used + (used.empty() ? "" : "\n\n") + python_predict(name, inputs);
  code += "def " + name + "_row(x):\n";
  code += "    c = [float(v) for v in x]\n";
  code += "    if len(c) != " + count + ":\n";
  code += "        raise ValueError(\"" + name + " needs " + count + " inputs, not %d\" % len(c))\n";
  code += "    if any(v != v for v in c):\n        return math.nan\n";
  if (slots > 0) code += "    s = [0.0] * " + std::to_string(slots) + "\n";
  return code;
}

}  // namespace

std::vector<std::string> key_description(const std::string& key_name, const Key& key,
                                         const std::vector<std::string>& names) {
  const int n = key.variable_count;
  std::vector<std::string> lines{"Predictions of the karva key " + key_name + ": " + std::to_string(n) +
                                 " input variables, " + std::to_string(key.gene_count()) + " genes."};
  std::string inputs = "Inputs, in this order:";
  for (int m = 0; m < n; ++m) {
    inputs += std::string(m ? "," : "") + " " + letter_name(static_cast<unsigned char>(FIRST_TERMINAL_LETTER + m));
    if (!names.empty()) inputs += " = " + names[static_cast<std::size_t>(m)];
  }
  lines.push_back(inputs);
  for (int j = 0; j < key.gene_count(); ++j) {
    const auto tree = build_gene(key, j, nullptr);
    const KeyGene& gene = key.genes[static_cast<std::size_t>(j)];
    lines.push_back("Gene " + std::to_string(j + 1) + ": " +
                    letter_name(static_cast<unsigned char>(FIRST_TERMINAL_LETTER + n + j)) + " = " +
                    gene_formula(gene.intercept, gene.slope, *tree));
  }
  lines.push_back("The prediction is the last gene's value.");
  return lines;
}

bool is_identifier(std::string_view name) {
  const auto word = [](char c) { return c == '_' || std::isalnum(static_cast<unsigned char>(c)); };
  return !name.empty() && !std::isdigit(static_cast<unsigned char>(name[0])) && std::all_of(name.begin(), name.end(), word) &&
         std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string emit_source(std::string_view language, const std::string& key_name, const Key& key,
                        const PreparedKey& prepared, const std::vector<std::string>& names, const std::string& function) {
  const Language& d = language == "c" ? C_LANGUAGE : PYTHON_LANGUAGE;
  const int n = prepared.variable_count;
  std::size_t slots = 0;
  for (const PreparedGene& g : prepared.genes) slots = std::max(slots, g.program.slots);

  std::string head;
  // Names and paths come from the input: written so that none can end the comment.
  for (const std::string& line : key_description(key_name, key, names)) head += d.comment + comment_text(line) + "\n";

  std::string code = d.c ? c_start(head, prepared, slots, function)
                         : python_start(head, prepared, slots, function.empty() ? "predict" : function, names);
  for (std::size_t j = 0; j < prepared.genes.size(); ++j)
    code += gene_code(prepared.genes[j], n + static_cast<int>(j), d);
  code += d.c ? "  return c[" + std::to_string(prepared.row_width() - 1) + "];\n}\n" : "    return c[-1]\n";
  return code;
}

}  // namespace karva
