#include "render/explain.h"

#include <cerrno>
#include <charconv>
#include <cmath>

#include <algorithm>
#include <array>
#include <cctype>

#include "model/apply.h"
#include "model/key.h"
#include "model/ops.h"
#include "render/messages.h"
#include "render/operator_text.h"
#include "text/escape.h"
#include "text/number.h"

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

// Writes trees in infix notation, the inputs by the names given, when given.
class InfixWriter {
 public:
  InfixWriter(const std::vector<std::string>& names, std::string& out) : names_(names), out_(out) {}

  void bracketed(const etnode& node, bool needed) {
    if (needed) out_ += '(';
    write(node);
    if (needed) out_ += ')';
  }

  // Appends rather than returns, so that deep trees cost time in proportion
  // to their size.
  void write(const etnode& node) {
    if (node.kind == NodeKind::TERMINAL) {
      out_ += terminal(node.symbol);
      return;
    }
    const Operator* op = operator_of(node.symbol);
    if (node.kind == NodeKind::UNARY) {
      out_ += op ? op->name : "0";
      out_ += '(';
      if (node.left)
        write(*node.left);
      else
        out_ += '0';
      out_ += ')';
      return;
    }
    const Binding level = binding_of(node);
    if (level == Binding::CALL || !node.left || !node.right) {
      out_ += '0';
      return;
    }
    bracketed(*node.left, bracketed_operand(level, binding_of(*node.left), false));
    out_ += ' ';
    out_ += op->name;
    out_ += ' ';
    bracketed(*node.right, bracketed_operand(level, binding_of(*node.right), true));
  }

 private:
  // An input by its name: as it is when it reads as one word, else quoted;
  // a gene's column by its letter.
  std::string terminal(unsigned char symbol) const {
    const std::size_t k = static_cast<std::size_t>(symbol - FIRST_TERMINAL_LETTER);
    if (symbol < FIRST_TERMINAL_LETTER || k >= names_.size()) return letter_name(symbol);
    const std::string& name = names_[k];
    const bool word = !name.empty() && !is_digit(name[0]) &&
                      std::all_of(name.begin(), name.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
    return word ? name : "\"" + shown(name) + "\"";
  }

  const std::vector<std::string>& names_;
  std::string& out_;
};

}  // namespace

std::string number_text(double value) {
  char buf[MAX_FIXED_CHARS];
  return std::string(buf, format_shortest(buf, value));
}

namespace {

// The legend's lines: at most this wide, continued with an indent.
constexpr std::size_t LEGEND_WIDTH = 90;
constexpr std::string_view LEGEND_INDENT = "  ";

// What the formulas of a key use that the legend explains.
struct LegendNeeds {
  std::array<bool, OPERATOR_COUNT> operators{};
  bool no_operation = false;      // a symbol shown as 0
  bool unprintable_letter = false;  // a column letter shown as #byte
};

void note_needs(const etnode& node, LegendNeeds& needs) {
  if (node.kind == NodeKind::TERMINAL) {
    needs.unprintable_letter = needs.unprintable_letter || node.symbol >= FIRST_UNPRINTABLE_LETTER;
    return;
  }
  const int arity = node.kind == NodeKind::BINARY ? 2 : 1;
  const Operator* op = operator_of(node.symbol);
  if (op && op->arity == arity)
    needs.operators[static_cast<std::size_t>(op->code)] = true;
  else
    needs.no_operation = true;
  const etnode* children[] = {node.left.get(), node.right.get()};
  for (int i = 0; i < arity; ++i)
    if (children[i])
      note_needs(*children[i], needs);
    else
      needs.no_operation = true;
}

// `text` cut at spaces into lines of at most LEGEND_WIDTH, the later ones
// indented.
std::string wrapped(const std::string& text) {
  std::string out;
  std::size_t line_start = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    if (out.size() - line_start + (end - at) + 1 > LEGEND_WIDTH && out.size() > line_start) {
      out += "\n";
      line_start = out.size();
      out += LEGEND_INDENT;
    } else if (at > 0) {
      out += ' ';
    }
    out.append(text, at, end - at);
    at = end + 1;
  }
  return out + "\n";
}

// The protected operators the key uses in words, with the constants they
// use; nothing when the formulas tell all.
std::string legend(const LegendNeeds& needs) {
  std::string text;
  for (const Operator& op : OPERATORS)
    if (needs.operators[static_cast<std::size_t>(op.code)] && !op.legend.empty())
      text += " " + operator_text(op.legend, number_text);
  if (needs.no_operation) text += " 0 stands for a symbol with no operation.";
  if (needs.unprintable_letter) text += " Column letters past ~ are shown as # and their byte value.";
  return text.empty() ? "" : wrapped("Legend:" + text);
}

}  // namespace

bool bracketed_operand(Binding level, Binding operand, bool right) {
  // + - * / group to the left, ^ to the right; rounding makes every
  // regrouping a different number, so brackets stay where the tree has them.
  if (level == Binding::POWER) return right ? operand < level : operand <= level;
  return right ? operand <= level : operand < level;
}

std::string letter_name(unsigned char letter) {
  if (letter < FIRST_UNPRINTABLE_LETTER) return std::string(1, static_cast<char>(letter));
  return std::string("#").append(std::to_string(letter));
}

std::vector<std::string> input_names_or_letters(const std::vector<std::string>& names, int count) {
  if (!names.empty()) return names;
  std::vector<std::string> letters;
  for (int m = 0; m < count; ++m) letters.push_back(letter_name(static_cast<unsigned char>(FIRST_TERMINAL_LETTER + m)));
  return letters;
}

std::string infix(const etnode& node) {
  std::string out;
  InfixWriter(std::vector<std::string>{}, out).write(node);
  return out;
}

std::string gene_formula(double intercept, double slope, const etnode& tree, const std::vector<std::string>& names) {
  std::string slope_text = number_text(slope);
  if (std::signbit(slope)) slope_text = std::string("(").append(slope_text).append(")");
  // The product binds tighter than anything but ^ and atoms.
  std::string out = number_text(intercept) + " + " + slope_text + " * ";
  InfixWriter(names, out).bracketed(tree, binding_of(tree) < Binding::POWER);
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
  LegendNeeds needs;
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
    out += head + " = " + gene_formula(gene.intercept, gene.slope, *tree, names) + "\n";
    note_needs(*tree, needs);
  }
  if (all_built) *all_built = built;
  return out + "The prediction is the last gene's value.\n" + legend(needs);
}

}  // namespace karva
