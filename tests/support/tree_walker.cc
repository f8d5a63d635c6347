#include "support/tree_walker.h"

#include "model/ops.h"

namespace karva {

double eval_etnode(const etnode* node, std::string_view terminal_set, const double* row, std::FILE* msg) {
  if (node->kind == TERMINAL) {
    const auto k = terminal_set.find(static_cast<char>(node->symbol));
    if (k == std::string_view::npos) {
      std::fprintf(msg, "Error in eval_etnode(): %c not found in terminal set. \n", node->symbol);
      return 0.0;
    }
    return row[k];
  }
  const double x = node->left ? eval_etnode(node->left.get(), terminal_set, row, msg) : 0.0;
  const double y = node->right ? eval_etnode(node->right.get(), terminal_set, row, msg) : 0.0;
  switch (node->symbol) {
    case '+': return ops::add(x, y);
    case '-': return ops::sub(x, y);
    case '*': return ops::mul(x, y);
    case '/': return ops::div(x, y);
    case '^': return ops::power(x, y);
    case 'A': return ops::abs(x);
    case 'C': return ops::cos(x);
    case 'D': return ops::cube_root(x);
    case 'E': return ops::exp(x);
    case 'L': return ops::log(x);
    case 'Q': return ops::sqrt(x);
    case 'R': return ops::round(x);
    case 'S': return ops::sin(x);
    default: return 0.0;
  }
}

}  // namespace karva
