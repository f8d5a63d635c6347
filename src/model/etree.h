// Expression trees built from a gene's K-expression (Karva notation: the
// tree written level by level from the root, each level left to right).
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace karva {

inline constexpr std::string_view UNARY_FUNCTIONS = "ACDELQRS";
inline constexpr std::string_view BINARY_OPERATORS = "+*-/^";

enum etkind : int { TERMINAL = 0, BINARY = 1, UNARY = 2 };

struct etnode {
  unsigned char symbol = 0;
  int kind = TERMINAL;
  std::unique_ptr<etnode> left;
  std::unique_ptr<etnode> right;
};

// Builds the tree of `symbols`, reading no symbol past the point where the
// tree is complete. When the symbols run out first it prints
// "pos=%d, len=%d, count=%d" and "ERROR!" to `msg` and gives no tree; an
// empty text or a first symbol in none of the three sets gives no tree and no
// message; a null `msg` silences the messages. `node_count`, when given, receives the number of nodes made.
std::unique_ptr<etnode> build_etree(std::string_view symbols, std::string_view terminal_set,
                                    std::string_view unary_set, std::string_view binary_set, int* node_count,
                                    std::FILE* msg);

// Why `symbols` gives no tree with `terminal_set`, in words that finish the
// sentence "Gene 3 cannot be built: ...".
std::string build_failure_reason(std::string_view symbols, std::string_view terminal_set);

// The letters naming columns 0 to count - 1: byte 97 + m for column m.
std::string terminal_letters(int count);

// The first column letter is 'a'; the last byte value that can be a letter is 255.
inline constexpr int FIRST_TERMINAL_LETTER = 'a';
inline constexpr int MAX_TERMINAL_LETTERS = 255 - FIRST_TERMINAL_LETTER + 1;

}  // namespace karva
