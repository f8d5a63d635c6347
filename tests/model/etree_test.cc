#include "model/etree.h"

#include <gtest/gtest.h>

namespace karva {
namespace {

// The tree in prefix form with brackets: "+(*(Q(c),b),a)".
std::string shape(const etnode& n) {
  std::string s(1, static_cast<char>(n.symbol));
  if (!n.left && !n.right) return s;
  s += "(";
  if (n.left) s += shape(*n.left);
  if (n.right) s.append(",").append(shape(*n.right));
  return s + ")";
}

struct Built {
  std::unique_ptr<etnode> tree;
  int count = -1;
  BuildError error;
};

Built build(std::string_view symbols, std::string_view terminals = "abc") {
  Built b;
  b.error.pos = -1;
  b.tree = build_etree(symbols, terminals, UNARY_FUNCTIONS, BINARY_OPERATORS, &b.count, &b.error);
  return b;
}

TEST(BuildEtree, MakesTheTreeLevelByLevel) {
  struct Case {
    const char* symbols;
    const char* shape;
    int nodes;
  };
  const Case cases[] = {
      {"+*aQbcab", "+(*(Q(c),b),a)", 6},  // the worked example: the last two symbols are never read
      {"a", "a", 1},
      {"ab+", "a", 1},
      {"Qa", "Q(a)", 2},
      {"-ab", "-(a,b)", 3},
      {"+abQb", "+(a,b)", 3},
      {"+a?bc", "+(a,?(b,c))", 5},  // a symbol in no set takes two children
      {"QQQa", "Q(Q(Q(a)))", 4},
      {"*+-abca", "*(+(a,b),-(c,a))", 7},
  };
  for (const Case& c : cases) {
    const Built b = build(c.symbols);
    ASSERT_TRUE(b.tree) << c.symbols;
    EXPECT_EQ(shape(*b.tree), c.shape) << c.symbols;
    EXPECT_EQ(b.count, c.nodes) << c.symbols;
    EXPECT_EQ(b.error.pos, -1) << c.symbols;  // untouched
  }
}

TEST(BuildEtree, RunningOutOfSymbolsGivesNoTree) {
  struct Case {
    const char* symbols;
    int pos, len, open;
  };
  const Case cases[] = {
      {"+", 1, 1, 2}, {"+a", 2, 2, 1}, {"+*a", 3, 3, 2}, {"+*ab", 4, 4, 1}, {"Q", 1, 1, 1},
  };
  for (const Case& c : cases) {
    const Built b = build(c.symbols);
    EXPECT_FALSE(b.tree) << c.symbols;
    EXPECT_EQ(b.error.kind, BuildError::Kind::RUNS_OUT) << c.symbols;
    EXPECT_EQ(b.error.pos, c.pos) << c.symbols;
    EXPECT_EQ(b.error.len, c.len) << c.symbols;
    EXPECT_EQ(b.error.open, c.open) << c.symbols;
  }
}

TEST(BuildEtree, NothingPastLenIsRead) {
  // The view ends before the terminal that would complete the tree.
  const std::string text = "+ab";
  const Built b = build(std::string_view(text).substr(0, 2));
  EXPECT_FALSE(b.tree);
  EXPECT_EQ(b.error.pos, 2);
  EXPECT_EQ(b.error.len, 2);
}

TEST(BuildEtree, NoRootGivesNoTree) {
  EXPECT_EQ(build("").error.kind, BuildError::Kind::EMPTY);
  for (const char* symbols : {"?ab", "dab", "Zab"}) {
    const Built b = build(symbols);
    EXPECT_FALSE(b.tree) << symbols;
    EXPECT_EQ(b.error.kind, BuildError::Kind::BAD_FIRST_SYMBOL) << symbols;
    EXPECT_EQ(b.error.symbol, static_cast<unsigned char>(symbols[0])) << symbols;
  }
}

TEST(BuildEtree, LettersAboveByte127AreTerminals) {
  const std::string terminals = terminal_letters(159);
  ASSERT_EQ(terminals.size(), 159u);
  EXPECT_EQ(static_cast<unsigned char>(terminals.back()), 255);
  const std::string symbols = {'+', static_cast<char>(200), static_cast<char>(255)};
  const Built b = build(symbols, terminals);
  ASSERT_TRUE(b.tree);
  EXPECT_EQ(b.tree->left->symbol, 200);
  EXPECT_EQ(b.tree->right->kind, NodeKind::TERMINAL);
}

TEST(BuildEtree, DeepChainsOfUnaryFunctionsBuildAndRelease) {
  std::string symbols(1022, 'S');
  symbols += 'a';
  const Built b = build(symbols);
  ASSERT_TRUE(b.tree);
  EXPECT_EQ(b.count, 1023);
}

}  // namespace
}  // namespace karva
