#include "render/emit_latex.h"

#include <array>
#include <cctype>
#include <cmath>

#include "model/apply.h"
#include "model/etree.h"
#include "model/ops.h"
#include "render/explain.h"
#include "render/operator_text.h"
#include "text/escape.h"

namespace karva {
namespace {

// Lines of formulas are cut, between terms, once they are this long.
constexpr std::size_t LINE_WIDTH = 90;

// An operator written between its operands binds as it does in --explain;
// one written as a function, a power or bars encloses its operands and is
// an atom.
Binding latex_binding(const etnode& node) {
  const Operator* op = operator_of(node.symbol);
  return node.kind == NodeKind::BINARY && op && op->latex.starts_with("$a") ? op->binding : Binding::CALL;
}

class LatexWriter {
 public:
  LatexWriter(const std::vector<std::string>& names, int inputs) : names_(names), inputs_(inputs) {}

  // The operators written so far.
  std::array<bool, OPERATOR_COUNT> used{};

  std::string write(const etnode& node) {
    if (node.kind == NodeKind::TERMINAL) return terminal(node.symbol);
    const Operator* op = operator_of(node.symbol);
    const int arity = node.kind == NodeKind::BINARY ? 2 : 1;
    if (!op || op->arity != arity || !node.left || (arity == 2 && !node.right)) return "0";
    used[static_cast<std::size_t>(op->code)] = true;
    const Binding level = latex_binding(node);
    const bool infix = op->latex.starts_with("$a");
    std::string a = operand(*node.left, infix && bracketed_operand(level, latex_binding(*node.left), false));
    std::string b = arity == 2 ? operand(*node.right, infix && bracketed_operand(level, latex_binding(*node.right), true))
                               : std::string();
    return operator_text(op->latex, latex_number, a, b);
  }

  std::string operand(const etnode& node, bool brackets) {
    return brackets ? "(" + write(node) + ")" : write(node);
  }

 private:
  // An input by its name, or its letter; a gene's value as g_j.
  std::string terminal(unsigned char symbol) const {
    const int k = symbol - FIRST_TERMINAL_LETTER;
    if (k >= inputs_) return "g_{" + std::to_string(k - inputs_ + 1) + "}";
    if (static_cast<std::size_t>(k) < names_.size()) return "\\text{" + latex_text(names_[static_cast<std::size_t>(k)]) + "}";
    return std::isalpha(symbol) ? std::string(1, static_cast<char>(symbol)) : "\\text{" + latex_text(letter_name(symbol)) + "}";
  }

  const std::vector<std::string>& names_;
  int inputs_;
};

// `line` cut before a + - or \cdot outside every brace once it runs past
// LINE_WIDTH, each later part on an align line of its own, indented.
std::string broken(const std::string& line) {
  std::string out;
  std::size_t since_break = 0;
  int braces = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    braces += c == '{' && (i == 0 || line[i - 1] != '\\');
    braces -= c == '}' && (i == 0 || line[i - 1] != '\\');
    const std::string_view rest(line.c_str() + i, line.size() - i);
    const bool term = rest.starts_with(" + ") || rest.starts_with(" - ") || rest.starts_with(" \\cdot ");
    if (term && braces == 0 && since_break > LINE_WIDTH) {
      out += " \\\\\n  &\\quad {}";
      since_break = 0;
      continue;  // the space before the sign
    }
    out += c;
    ++since_break;
  }
  return out;
}

// The align lines of the genes and of the prediction.
std::string gene_lines(const Key& key, LatexWriter& writer) {
  std::string out;
  for (int j = 0; j < key.gene_count(); ++j) {
    const KeyGene& gene = key.genes[static_cast<std::size_t>(j)];
    const auto tree = build_gene(key, j, nullptr);
    std::string slope = latex_number(gene.slope);
    if (std::signbit(gene.slope)) slope = "(" + slope + ")";
    // As in --explain: the product binds tighter than anything but atoms.
    const std::string value =
        tree ? writer.operand(*tree, latex_binding(*tree) < Binding::POWER) : std::string("\\text{(no formula)}");
    out += broken("g_{" + std::to_string(j + 1) + "} &= " + latex_number(gene.intercept) + " + " + slope + " \\cdot " +
                  value) +
           " \\\\\n";
  }
  return out + "\\hat{y} &= g_{" + std::to_string(key.gene_count()) + "}\n";
}

// The definitions of the functions that the formulas use.
std::string definitions(const std::array<bool, OPERATOR_COUNT>& used) {
  std::string out;
  for (const Operator& op : OPERATORS)
    if (used[static_cast<std::size_t>(op.code)] && !op.latex_definition.empty())
      out += (out.empty() ? "" : " \\\\\n") + operator_text(op.latex_definition, latex_number);
  return out;
}

}  // namespace

std::string latex_number(double value) {
  if (std::isnan(value)) return "\\mathrm{NaN}";
  if (std::isinf(value)) return value < 0 ? "-\\infty" : "\\infty";
  const std::string text = number_text(value);
  const std::size_t e = text.find('e');
  if (e == std::string::npos) return text;
  std::string exponent = text.substr(e + 1);
  if (exponent[0] == '+') exponent.erase(0, 1);
  const bool negative = exponent[0] == '-';
  exponent.erase(0, exponent.find_first_not_of("-0", 0));
  return text.substr(0, e) + " \\cdot 10^{" + (negative ? "-" : "") + exponent + "}";
}

std::string emit_latex(const std::string& key_name, const std::string& sha256, const Key& key,
                       const std::vector<std::string>& names) {
  std::string out = "% The karva key " + comment_text(key_name) + " as formulas (karva --emit latex).\n"
                    "\\documentclass{article}\n\\usepackage{amsmath}\n\\begin{document}\n\n"
                    "The predictions $\\hat{y}$ of the karva key \\texttt{" + latex_text(key_name) +
                    "} (SHA-256 \\texttt{" + sha256 + "}), each $g_j$ one gene's value:\n"
                    "\\begin{align*}\n";
  LatexWriter writer(names, key.variable_count);
  out += gene_lines(key, writer) + "\\end{align*}\n";
  const std::string defined = definitions(writer.used);
  if (!defined.empty()) out += "where\n\\begin{align*}\n" + defined + "\n\\end{align*}\n";
  return out + "Each operation is rounded to the nearest double, in the order written; "
               "$\\lvert x \\rvert^{y}$ is \\texttt{pow}, and a row with a missing input has no prediction.\n\n"
               "\\end{document}\n";
}

}  // namespace karva
