#include "support/tree_walker.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/capture.h"

namespace karva {
namespace {

using testing::Capture;

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

double eval(std::string_view symbols, double a, double b = 3.0, std::string* messages = nullptr) {
  Capture msg;
  const auto tree = build_etree(symbols, "ab", UNARY_FUNCTIONS, BINARY_OPERATORS, nullptr, nullptr);
  EXPECT_TRUE(tree) << symbols;
  if (!tree) return NaN;
  const double row[] = {a, b};
  const double v = eval_etnode(tree.get(), "ab", row, msg.stream());
  if (messages) *messages = msg.text();
  return v;
}

struct EvalCase {
  const char* symbols;
  double a;
  double b;
  double expected;
};

void expect_bits(const EvalCase& c, double got) {
  if (std::isnan(c.expected)) {
    EXPECT_TRUE(std::isnan(got)) << c.symbols << " a=" << c.a << " b=" << c.b << " got " << got;
  } else {
    EXPECT_EQ(got, c.expected) << c.symbols << " a=" << c.a << " b=" << c.b;
  }
  if (c.expected == 0.0 && !std::isnan(got)) {
    EXPECT_EQ(std::signbit(got), std::signbit(c.expected)) << c.symbols << " sign of zero";
  }
}

TEST(EvalEtnode, Operations) {
  const EvalCase cases[] = {
      {"+ab", 5, 3, 8},
      {"-ab", 5, 3, 2},
      {"-ba", 5, 3, -2},
      {"*ab", 5, 3, 15},
      {"/ab", 5, 3, 5.0 / 3.0},
      {"^ab", 5, 3, 125},
      {"^ab", -2, 3, 8},  // the sign of the base is dropped
      {"^ab", -2, 0.5, std::sqrt(2.0)},
      {"Aa", -3, 0, 3},
      {"Ca", 1, 0, std::cos(1.0)},
      {"Ea", 1, 0, std::exp(1.0)},
      {"Sa", 1, 0, std::sin(1.0)},
      {"Qa", -4, 0, 2},
      {"Qa", 0, 0, 0},
      {"La", -1, 0, 0},
      {"La", std::exp(2.0), 0, std::log(std::exp(2.0))},
      {"Da", 8, 0, std::pow(8.0, 0.3333333333333333)},
      {"Da", -8, 0, -std::pow(8.0, 0.3333333333333333)},
      {"Da", 0, 0, 0},
      {"Da", -0.0, 0, 0},
      {"Ra", 2.5, 0, 3},
      {"Ra", -2.5, 0, -3},
      {"Ra", 2.49, 0, 2},
      {"Ra", 0.5, 0, 1},
      {"+a?ba", 5, 3, 5},  // a symbol with no operation is 0.0
  };
  for (const EvalCase& c : cases) expect_bits(c, eval(c.symbols, c.a, c.b));
}

TEST(EvalEtnode, DivisionByZero) {
  const EvalCase cases[] = {
      {"/ab", 5, 0, 4294967295.0},  {"/ab", 5, -0.0, 4294967295.0}, {"/ab", INF, 0, 4294967295.0},
      {"/ab", -5, 0, 1.0},          {"/ab", -5, -0.0, 1.0},          {"/ab", -INF, 0, 1.0},
      {"/ab", 0, 0, 0.0},           {"/ab", -0.0, 0, 0.0},           {"/ab", NaN, 0, 0.0},
      {"/ab", 0, NaN, NaN},         {"/ab", 5, INF, 0.0},
  };
  for (const EvalCase& c : cases) expect_bits(c, eval(c.symbols, c.a, c.b));
}

TEST(EvalEtnode, InfinityAndNaN) {
  const EvalCase cases[] = {
      {"La", 0, 0, -INF},      {"La", -0.0, 0, -INF},  {"Ea", 1000, 0, INF},  {"Da", NaN, 0, NaN},
      {"Da", -INF, 0, -INF},   {"Ra", INF, 0, INF},    {"Ra", NaN, 0, NaN},   {"Qa", -INF, 0, INF},
      {"^ab", 0, -1, INF},     {"-ab", INF, INF, NaN}, {"*ab", 0, INF, NaN},  {"Sa", INF, 0, NaN},
  };
  for (const EvalCase& c : cases) expect_bits(c, eval(c.symbols, c.a, c.b));
}

// The limits the emitted SQL guards exp with are this platform's exp's.
TEST(EvalExp, ItsLimitsInTheOperatorTableAreThisPlatformsExps) {
  EXPECT_TRUE(std::isfinite(std::exp(EXP_FINITE_UP_TO)));
  EXPECT_TRUE(std::isinf(std::exp(std::nextafter(EXP_FINITE_UP_TO, INF))));
  EXPECT_GT(std::exp(EXP_ABOVE_ZERO_FROM), 0.0);
  EXPECT_EQ(std::exp(std::nextafter(EXP_ABOVE_ZERO_FROM, -INF)), 0.0);
}

TEST(EvalEtnode, TerminalMissingFromTheSetIsReportedAndReadsZero) {
  etnode c;
  c.symbol = 'c';
  c.kind = NodeKind::TERMINAL;
  Capture msg;
  const double row[] = {5.0, 3.0};
  EXPECT_EQ(eval_etnode(&c, "ab", row, msg.stream()), 0.0);
  EXPECT_EQ(msg.text(), "Error in eval_etnode(): c not found in terminal set. \n");
}

}  // namespace
}  // namespace karva
