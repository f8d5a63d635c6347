#include "support/tree_walker.h"

#include "model/ops.h"

namespace karva {

double eval_etnode(const etnode* node, std::string_view terminal_set, const double* row, std::FILE* msg) {
  if (node->kind == NodeKind::TERMINAL) {
    const auto k = terminal_set.find(static_cast<char>(node->symbol));
    if (k == std::string_view::npos) {
      std::fprintf(msg, "Error in eval_etnode(): %c not found in terminal set. \n", node->symbol);
      return 0.0;
    }
    return row[k];
  }
  const double x = node->left ? eval_etnode(node->left.get(), terminal_set, row, msg) : 0.0;
  const double y = node->right ? eval_etnode(node->right.get(), terminal_set, row, msg) : 0.0;
  const Operator* op = operator_of(node->symbol);
  return op ? op->evaluate(x, y) : 0.0;
}

}  // namespace karva
