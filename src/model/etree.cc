#include "model/etree.h"

#include <vector>

namespace karva {
namespace {

bool contains(std::string_view set, unsigned char symbol) {
  return set.find(static_cast<char>(symbol)) != std::string_view::npos;
}

unsigned char at(std::string_view s, std::size_t i) { return static_cast<unsigned char>(s[i]); }

}  // namespace

std::string terminal_letters(int count) {
  std::string letters;
  for (int m = 0; m < count; ++m) letters.push_back(static_cast<char>(FIRST_TERMINAL_LETTER + m));
  return letters;
}

namespace {

// The sets of one build.
struct SymbolSets {
  std::string_view terminals;
  std::string_view unary;
  std::string_view binary;
};

// Where a build is: the next symbol to read, the child slots still open
// and the nodes made.
struct BuildState {
  std::size_t pos = 1;
  int open = 0;
  int count = 1;
};

// After the root the operator set is not consulted: whatever is neither a
// terminal nor a unary function takes two children.
NodeKind kind_after_root(unsigned char symbol, const SymbolSets& sets) {
  if (contains(sets.terminals, symbol)) return NodeKind::TERMINAL;
  return contains(sets.unary, symbol) ? NodeKind::UNARY : NodeKind::BINARY;
}

// Fills the child slots of the function nodes of `level`, in order, while
// slots are open and symbols last; the function nodes made form `next`.
void fill_level(std::string_view symbols, const SymbolSets& sets, const std::vector<etnode*>& level,
                std::vector<etnode*>& next, BuildState& state) {
  next.clear();
  std::size_t i = 0;
  while (i < level.size() && state.open > 0 && state.pos < symbols.size()) {
    auto node = std::make_unique<etnode>();
    node->symbol = at(symbols, state.pos);
    node->kind = kind_after_root(node->symbol, sets);
    state.open += node->kind == NodeKind::TERMINAL ? -1 : node->kind == NodeKind::BINARY ? 1 : 0;
    ++state.count;
    ++state.pos;
    etnode* raw = node.get();
    etnode* parent = level[i];
    if (parent->kind == NodeKind::BINARY && !parent->left) {
      parent->left = std::move(node);
    } else {
      (parent->kind == NodeKind::BINARY ? parent->right : parent->left) = std::move(node);
      ++i;
    }
    if (raw->kind != NodeKind::TERMINAL) next.push_back(raw);
  }
}

}  // namespace

std::unique_ptr<etnode> build_etree(std::string_view symbols, std::string_view terminal_set,
                                    std::string_view unary_set, std::string_view binary_set, int* node_count,
                                    BuildError* err) {
  if (node_count) *node_count = 0;
  const std::size_t len = symbols.size();
  if (len == 0) {
    if (err) *err = BuildError{BuildError::Kind::EMPTY, 0, 0, 0, 0};
    return nullptr;
  }
  const SymbolSets sets{terminal_set, unary_set, binary_set};
  auto root = std::make_unique<etnode>();
  root->symbol = at(symbols, 0);
  BuildState state;
  if (contains(terminal_set, root->symbol)) {
    root->kind = NodeKind::TERMINAL;
  } else if (contains(unary_set, root->symbol)) {
    root->kind = NodeKind::UNARY;
    state.open = 1;
  } else if (contains(binary_set, root->symbol)) {
    root->kind = NodeKind::BINARY;
    state.open = 2;
  } else {
    if (err) *err = BuildError{BuildError::Kind::BAD_FIRST_SYMBOL, root->symbol, 0, 0, 0};
    return nullptr;
  }
  std::vector<etnode*> level{root.get()};
  std::vector<etnode*> next;
  while (state.open > 0 && state.pos < len) {
    fill_level(symbols, sets, level, next, state);
    level.swap(next);
  }
  if (node_count) *node_count = state.count;
  if (state.open > 0) {
    if (err) *err = BuildError{BuildError::Kind::RUNS_OUT, 0, static_cast<int>(state.pos), static_cast<int>(len), state.open};
    return nullptr;
  }
  return root;
}

}  // namespace karva
