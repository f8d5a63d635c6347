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

std::unique_ptr<etnode> build_etree(std::string_view symbols, std::string_view terminal_set,
                                    std::string_view unary_set, std::string_view binary_set, int* node_count,
                                    BuildError* err) {
  int count = 0;
  if (node_count) *node_count = 0;
  const std::size_t len = symbols.size();
  if (len == 0) {
    if (err) *err = BuildError{BuildError::Kind::EMPTY, 0, 0, 0, 0};
    return nullptr;
  }

  auto root = std::make_unique<etnode>();
  root->symbol = at(symbols, 0);
  int open = 0;
  if (contains(terminal_set, root->symbol)) {
    root->kind = NodeKind::TERMINAL;
  } else if (contains(unary_set, root->symbol)) {
    root->kind = NodeKind::UNARY;
    open = 1;
  } else if (contains(binary_set, root->symbol)) {
    root->kind = NodeKind::BINARY;
    open = 2;
  } else {
    if (err) *err = BuildError{BuildError::Kind::BAD_FIRST_SYMBOL, root->symbol, 0, 0, 0};
    return nullptr;
  }
  ++count;

  // Function nodes whose child slots the current level fills, in order, and
  // the function nodes made while filling them, which form the next level.
  std::vector<etnode*> level{root.get()};
  std::vector<etnode*> next;
  std::size_t pos = 1;
  while (open > 0 && pos < len) {
    next.clear();
    std::size_t i = 0;
    while (i < level.size() && open > 0 && pos < len) {
      auto node = std::make_unique<etnode>();
      node->symbol = at(symbols, pos);
      // After the root the operator set is not consulted: whatever is neither
      // a terminal nor a unary function takes two children.
      if (contains(terminal_set, node->symbol)) {
        node->kind = NodeKind::TERMINAL;
        --open;
      } else if (contains(unary_set, node->symbol)) {
        node->kind = NodeKind::UNARY;
      } else {
        node->kind = NodeKind::BINARY;
        ++open;
      }
      ++count;
      ++pos;
      etnode* raw = node.get();
      etnode* parent = level[i];
      if (parent->kind == NodeKind::BINARY && !parent->left) {
        parent->left = std::move(node);
      } else if (parent->kind == NodeKind::BINARY) {
        parent->right = std::move(node);
        ++i;
      } else {
        parent->left = std::move(node);
        ++i;
      }
      if (raw->kind != NodeKind::TERMINAL) next.push_back(raw);
    }
    level.swap(next);
  }
  if (node_count) *node_count = count;
  if (open > 0) {
    if (err) *err = BuildError{BuildError::Kind::RUNS_OUT, 0, static_cast<int>(pos), static_cast<int>(len), open};
    return nullptr;
  }
  return root;
}

}  // namespace karva
