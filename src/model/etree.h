// Expression trees built from a gene's K-expression (Karva notation: the
// tree written level by level from the root, each level left to right).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "model/ops.h"

namespace karva {

enum class NodeKind : int { TERMINAL = 0, BINARY = 1, UNARY = 2 };

struct etnode {
  unsigned char symbol = 0;
  NodeKind kind = NodeKind::TERMINAL;
  std::unique_ptr<etnode> left;
  std::unique_ptr<etnode> right;
};

// Why a gene's symbols give no tree.
struct BuildError {
  enum class Kind {
    EMPTY,             // no symbols at all
    BAD_FIRST_SYMBOL,  // the first symbol is in none of the three sets
    RUNS_OUT,          // the symbols end before every function has its children
  };
  Kind kind = Kind::EMPTY;
  unsigned char symbol = 0;  // the first symbol, with BAD_FIRST_SYMBOL
  // With RUNS_OUT: symbols read, symbols there are, child slots still open.
  int pos = 0;
  int len = 0;
  int open = 0;
};

// Builds the tree of `symbols`, reading no symbol past the point where the
// tree is complete. Gives no tree, and fills `*err` when given, when the
// text is empty, starts with a symbol in none of the sets, or runs out
// first. `node_count`, when given, receives the number of nodes made.
std::unique_ptr<etnode> build_etree(std::string_view symbols, std::string_view terminal_set,
                                    std::string_view unary_set, std::string_view binary_set, int* node_count,
                                    BuildError* err);

// The letters naming columns 0 to count - 1: byte 97 + m for column m.
std::string terminal_letters(int count);

// The first column letter is 'a'; the last byte value that can be a letter is 255.
inline constexpr int FIRST_TERMINAL_LETTER = 'a';
inline constexpr int MAX_TERMINAL_LETTERS = 255 - FIRST_TERMINAL_LETTER + 1;

}  // namespace karva
