#include "render/sheet_formulas.h"

#include <algorithm>

#include "model/apply.h"
#include "model/ops.h"
#include "render/operator_text.h"

namespace karva {
namespace {

// A subtree whose formula grows past these is computed in a column of its
// own. An operator's form repeats an operand at most three times and adds
// a few levels, so every cell stays well inside the 8 192 characters and
// 64 nested levels that Excel allows.
constexpr std::size_t MOST_CHARACTERS = 1000;
constexpr int MOST_LEVELS = 20;

int nesting(const std::string& text) {
  int depth = 0;
  int most = 0;
  for (const char c : text) {
    depth += c == '(';
    depth -= c == ')';
    most = std::max(most, depth);
  }
  return most;
}

// The node's value on a row whose inputs, then genes' values, are
// `values`, as the run computes it.
double evaluate(const etnode& node, const double* values) {
  if (node.kind == NodeKind::TERMINAL) return values[node.symbol - FIRST_TERMINAL_LETTER];
  const Operator* op = operator_of(node.symbol);
  const int arity = node.kind == NodeKind::BINARY ? 2 : 1;
  if (!op || op->arity != arity) return 0.0;
  const double a = node.left ? evaluate(*node.left, values) : 0.0;
  const double b = arity == 2 && node.right ? evaluate(*node.right, values) : 0.0;
  return op->evaluate(a, b);
}

}  // namespace

std::string column_name(int column) {
  std::string name;
  for (int c = column + 1; c > 0; c = (c - 1) / 26) name.insert(name.begin(), static_cast<char>('A' + (c - 1) % 26));
  return name;
}

SheetFormulas::SheetFormulas(const Key& key, const std::function<std::string(double)>& constant,
                             const std::function<std::string(int gene, bool slope)>& scale)
    : inputs_(key.variable_count), constant_(constant) {
  for (int j = 0; j < key.gene_count(); ++j) {
    trees_.push_back(build_gene(key, j, nullptr));
    const std::string value = trees_.back() ? write(*trees_.back()) : std::string("0");
    // Product and sum rounded one after the other, as the run does.
    SheetColumn gene{"gene " + std::to_string(j + 1),
                     guarded("(" + scale(j, false) + "+" + scale(j, true) + "*" + value + ")"), nullptr, j};
    columns_.push_back(std::move(gene));
    gene_columns_.push_back(inputs_ + static_cast<int>(columns_.size()) - 1);
  }
}

std::string SheetFormulas::cell(int column) const { return column_name(column) + SHEET_ROW; }

std::string SheetFormulas::guarded(const std::string& formula) const {
  const std::string inputs = "$" + column_name(0) + SHEET_ROW + ":$" + column_name(inputs_ - 1) + SHEET_ROW;
  // A value the key makes out of the double range, or NaN, is #NUM!,
  // whatever error the spreadsheet's own function would give.
  return "=IF(COUNT(" + inputs + ")<" + std::to_string(inputs_) + ",\"\",IFERROR(" + formula + ",SQRT(-1)))";
}

std::string SheetFormulas::write(const etnode& node) {
  if (node.kind == NodeKind::TERMINAL) {
    const int k = node.symbol - FIRST_TERMINAL_LETTER;
    return cell(k < inputs_ ? k : gene_columns_[static_cast<std::size_t>(k - inputs_)]);
  }
  const Operator* op = operator_of(node.symbol);
  const int arity = node.kind == NodeKind::BINARY ? 2 : 1;
  if (!op || op->arity != arity) return "0";
  const std::string a = node.left ? write(*node.left) : std::string("0");
  const std::string b = arity == 2 && node.right ? write(*node.right) : std::string("0");
  std::string text = operator_text(op->spreadsheet, constant_, a, b);
  if (text.size() <= MOST_CHARACTERS && nesting(text) <= MOST_LEVELS) return text;
  columns_.push_back({"gene " + std::to_string(trees_.size()) + " part " + std::to_string(columns_.size() + 1),
                      guarded(text), &node, -1});
  return cell(inputs_ + static_cast<int>(columns_.size()) - 1);
}

double SheetFormulas::value(const SheetColumn& column, const double* values) const {
  if (column.gene >= 0) return values[inputs_ + column.gene];
  return evaluate(*column.node, values);
}

}  // namespace karva
