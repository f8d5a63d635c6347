#include "model/etree.h"

#include <gtest/gtest.h>

#include "support/capture.h"

namespace karva {
namespace {

using testing::Capture;

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
  std::string messages;
};

Built build(std::string_view symbols, std::string_view terminals = "abc") {
  Capture msg;
  Built b;
  b.tree = build_etree(symbols, terminals, UNARY_FUNCTIONS, BINARY_OPERATORS, &b.count, msg.stream());
  b.messages = msg.text();
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
    EXPECT_EQ(b.messages, "") << c.symbols;
  }
}

TEST(BuildEtree, KindsFollowTheSets) {
  const Built b = build("+Qa?bc");
  ASSERT_TRUE(b.tree);
  EXPECT_EQ(b.tree->kind, BINARY);
  EXPECT_EQ(b.tree->left->kind, UNARY);
  EXPECT_EQ(b.tree->left->right, nullptr);
  EXPECT_EQ(b.tree->right->kind, TERMINAL);
  EXPECT_EQ(b.tree->left->left->kind, BINARY);
}

TEST(BuildEtree, RunningOutOfSymbolsGivesNoTree) {
  struct Case {
    const char* symbols;
    const char* messages;
  };
  const Case cases[] = {
      {"+", "pos=1, len=1, count=2\nERROR!\n"},
      {"+a", "pos=2, len=2, count=1\nERROR!\n"},
      {"+*a", "pos=3, len=3, count=2\nERROR!\n"},
      {"+*ab", "pos=4, len=4, count=1\nERROR!\n"},
      {"Q", "pos=1, len=1, count=1\nERROR!\n"},
  };
  for (const Case& c : cases) {
    const Built b = build(c.symbols);
    EXPECT_FALSE(b.tree) << c.symbols;
    EXPECT_EQ(b.messages, c.messages) << c.symbols;
  }
}

TEST(BuildEtree, NothingPastLenIsRead) {
  // The view ends before the terminal that would complete the tree.
  const std::string text = "+ab";
  const Built b = build(std::string_view(text).substr(0, 2));
  EXPECT_FALSE(b.tree);
  EXPECT_EQ(b.messages, "pos=2, len=2, count=1\nERROR!\n");
}

TEST(BuildEtree, NoRootGivesNoTreeAndNoMessage) {
  for (const char* symbols : {"", "?ab", "dab", "Zab"}) {
    const Built b = build(symbols);
    EXPECT_FALSE(b.tree) << symbols;
    EXPECT_EQ(b.messages, "") << symbols;
  }
  EXPECT_EQ(build_failure_reason("", "ab"), "it has no symbols");
  EXPECT_EQ(build_failure_reason("?ab", "ab"), "its first symbol (byte 63) is no terminal, function or operator");
  EXPECT_EQ(build_failure_reason("+a", "ab"), "its symbols run out before the tree is complete");
}

TEST(BuildEtree, LettersAboveByte127AreTerminals) {
  const std::string terminals = terminal_letters(159);
  ASSERT_EQ(terminals.size(), 159u);
  EXPECT_EQ(static_cast<unsigned char>(terminals.back()), 255);
  const std::string symbols = {'+', static_cast<char>(200), static_cast<char>(255)};
  const Built b = build(symbols, terminals);
  ASSERT_TRUE(b.tree);
  EXPECT_EQ(b.tree->left->symbol, 200);
  EXPECT_EQ(b.tree->right->kind, TERMINAL);
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
