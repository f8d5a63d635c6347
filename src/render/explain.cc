#include "render/explain.h"

#include <cerrno>
#include <charconv>
#include <cmath>

#include "model/apply.h"
#include "input/file.h"
#include "model/key.h"
#include "model/ops.h"
#include "text/escape.h"
#include "render/messages.h"
#include "text/number.h"
#include "input/reader.h"

namespace karva {
namespace {

constexpr unsigned char FIRST_UNPRINTABLE_LETTER = 127;

// How tightly a node binds: a child binding less tightly than its parent's
// operator (or as tightly, on the side that the operator does not group)
// is bracketed. Terminals, calls and the 0 of a symbol with no operation
// are atoms.
Binding binding_of(const etnode& node) {
  const Operator* op = operator_of(node.symbol);
  return node.kind == NodeKind::BINARY && op ? op->binding : Binding::CALL;
}

void append_infix(const etnode& node, std::string& out);

void append_bracketed(const etnode& node, bool needed, std::string& out) {
  if (needed) out += '(';
  append_infix(node, out);
  if (needed) out += ')';
}

// Appends rather than returns, so that deep trees cost time in proportion
// to their size.
void append_infix(const etnode& node, std::string& out) {
  if (node.kind == NodeKind::TERMINAL) {
    out += letter_name(node.symbol);
    return;
  }
  const Operator* op = operator_of(node.symbol);
  if (node.kind == NodeKind::UNARY) {
    out += op ? op->name : "0";
    out += '(';
    if (node.left)
      append_infix(*node.left, out);
    else
      out += '0';
    out += ')';
    return;
  }
  const Binding level = binding_of(node);
  if (level == Binding::CALL || !node.left || !node.right) {
    out += '0';
    return;
  }
  const Binding left = binding_of(*node.left);
  const Binding right = binding_of(*node.right);
  // + - * / group to the left, ^ to the right; rounding makes every
  // regrouping a different number, so brackets stay where the tree has them.
  const bool left_needs = level == Binding::POWER ? left <= level : left < level;
  const bool right_needs = level == Binding::POWER ? right < level : right <= level;
  append_bracketed(*node.left, left_needs, out);
  out += ' ';
  out += op->name;
  out += ' ';
  append_bracketed(*node.right, right_needs, out);
}

}  // namespace

std::string number_text(double value) {
  char buf[MAX_FIXED_CHARS];
  return std::string(buf, format_shortest(buf, value));
}

namespace {

// The protected operators in words, with the constants they use.
std::string legend() {
  return "Legend: x / y is x divided by y, but " + number_text(DIV_ZERO_POSITIVE) + " when y is 0 and x > 0, " +
         number_text(DIV_ZERO_NEGATIVE) + " when y is 0\n  and x < 0, and " + number_text(DIV_ZERO_OTHER) +
         " when y is 0 and x is 0 or NaN. x ^ y is pow(abs(x), y): the sign of x\n"
         "  is dropped. log(x) is the natural logarithm of abs(x); sqrt(x) is the square root of\n"
         "  abs(x). cbrt(x) keeps the sign of x: sign(x) * pow(abs(x), " + number_text(ONE_THIRD) + ").\n"
         "  round(x) takes halfway cases away from zero. 0 stands for a symbol with no operation.\n"
         "  Column letters past ~ are shown as # and their byte value.\n";
}

}  // namespace

std::string letter_name(unsigned char letter) {
  if (letter < FIRST_UNPRINTABLE_LETTER) return std::string(1, static_cast<char>(letter));
  return std::string("#").append(std::to_string(letter));
}

std::string infix(const etnode& node) {
  std::string out;
  append_infix(node, out);
  return out;
}

std::string gene_formula(double intercept, double slope, const etnode& tree) {
  std::string slope_text = number_text(slope);
  if (std::signbit(slope)) slope_text = std::string("(").append(slope_text).append(")");
  // The product binds tighter than anything but ^ and atoms.
  std::string out = number_text(intercept) + " + " + slope_text + " * ";
  append_bracketed(tree, binding_of(tree) < Binding::POWER, out);
  return out;
}

std::string explain_formulas(const Key& key, const std::vector<std::string>& names, bool* all_built) {
  const int n = key.variable_count;
  std::string out = "Inputs:";
  for (int m = 0; m < n; ++m) {
    out += std::string(m ? "," : "") + " " + letter_name(static_cast<unsigned char>(FIRST_TERMINAL_LETTER + m));
    if (!names.empty()) out += " = " + shown(names[static_cast<std::size_t>(m)]);
  }
  out += "\n";
  bool built = true;
  for (int j = 0; j < key.gene_count(); ++j) {
    const KeyGene& gene = key.genes[static_cast<std::size_t>(j)];
    const int column = n + j;
    const std::string letter =
        column <= MAX_TERMINAL_LETTERS - 1 ? letter_name(static_cast<unsigned char>(FIRST_TERMINAL_LETTER + column))
                                           : std::string("#").append(std::to_string(FIRST_TERMINAL_LETTER + column));
    const std::string head = "Gene " + std::to_string(j + 1) + ": " + letter;
    if (column > MAX_TERMINAL_LETTERS) {
      out += head + " cannot be built: it would read more than " + std::to_string(MAX_TERMINAL_LETTERS) +
             " terminal letters.\n";
      built = false;
      continue;
    }
    BuildError build;
    const auto tree = build_gene(key, j, &build);
    if (!tree) {
      out += head + " cannot be built: " + build_error_reason(build) + ".\n";
      built = false;
      continue;
    }
    out += head + " = " + gene_formula(gene.intercept, gene.slope, *tree) + "\n";
  }
  if (all_built) *all_built = built;
  return out + "The prediction is the last gene's value.\n" + legend();
}

}  // namespace karva
