#include "model/apply.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "support/key_writer.h"
#include "support/tree_walker.h"

namespace karva {
namespace {

Key make_key(int variables, std::vector<KeyGene> genes) {
  Key key;
  key.variable_count = variables;
  key.genes = std::move(genes);
  return key;
}

KeyGene gene(double intercept, double slope, std::string symbols) {
  KeyGene g;
  g.intercept = intercept;
  g.slope = slope;
  g.symbols = std::move(symbols);
  return g;
}

// Applies `key` to `rows` through the compiled path; returns the grown rows.
std::vector<std::vector<double>> apply_rows(const Key& key, const std::vector<std::vector<double>>& rows) {
  const auto prepared = prepare_key(key);
  EXPECT_TRUE(prepared);
  if (!prepared) return {};
  DataTable table;
  table.reserve(rows.size(), prepared->row_width());
  table.row_count = rows.size();
  for (std::size_t i = 0; i < rows.size(); ++i)
    for (int m = 0; m < key.variable_count; ++m) table.column(m)[i] = rows[i][static_cast<std::size_t>(m)];
  const double* predictions = apply_key(*prepared, table);
  EXPECT_EQ(predictions, table.column(prepared->row_width() - 1));
  std::vector<std::vector<double>> out(rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i)
    for (int m = 0; m < prepared->row_width(); ++m) out[i].push_back(table.column(m)[i]);
  return out;
}

// The same through the tree walker, one row at a time.
std::vector<double> apply_reference(const Key& key, std::vector<double> row) {
  for (std::size_t j = 0; j < key.genes.size(); ++j) {
    const std::string terminals = terminal_letters(static_cast<int>(row.size()));
    const auto tree = build_etree(key.genes[j].symbols, terminals, UNARY_FUNCTIONS, BINARY_OPERATORS, nullptr,
                                  nullptr);
    const double v = eval_etnode(tree.get(), terminals, row.data(), stderr);
    const double scaled = v * key.genes[j].slope;
    row.push_back(scaled + key.genes[j].intercept);
  }
  return row;
}

// Why `key` cannot be prepared.
PrepareError refusal(const Key& key) {
  const auto prepared = prepare_key(key);
  EXPECT_FALSE(prepared);
  return prepared ? PrepareError{} : prepared.error();
}


TEST(ApplyKey, OneAndTwoGeneExamples) {
  const Key one = make_key(2, {gene(0.5, 2.0, "+ab")});
  EXPECT_EQ(apply_rows(one, {{1.0, 2.0}}), (std::vector<std::vector<double>>{{1.0, 2.0, 6.5}}));
  const Key two = make_key(2, {gene(0.5, 2.0, "+ab"), gene(-1.0, 0.25, "*cc")});
  EXPECT_EQ(apply_rows(two, {{1.0, 2.0}}), (std::vector<std::vector<double>>{{1.0, 2.0, 6.5, 9.5625}}));
}

TEST(ApplyKey, SlopeZero) {
  const Key key = make_key(1, {gene(1.5, 0.0, "La")});
  const auto rows = apply_rows(key, {{2.0}, {0.0}});
  EXPECT_EQ(rows[0][1], 1.5);
  EXPECT_TRUE(std::isnan(rows[1][1]));  // 0 times -infinity
}

TEST(ApplyKey, ScalingIsNotFused) {
  // With a fused multiply-add the product keeps bits the sum then loses.
  const double v = 1.0 + std::ldexp(1.0, -30);
  const Key key = make_key(1, {gene(-1.0, v, "a")});
  const auto rows = apply_rows(key, {{v}});
  volatile double product = v * v;
  EXPECT_EQ(rows[0][1], product + -1.0);
  EXPECT_NE(rows[0][1], std::fma(v, v, -1.0));
}

TEST(ApplyKey, GenesReadEarlierColumnsOnly) {
  // Gene 1 fills c, so it cannot read c: c takes two children like any symbol outside the sets.
  const PrepareError err = refusal(make_key(2, {gene(0, 1, "+ac")}));
  EXPECT_EQ(err.gene, 1);
  EXPECT_EQ(err.build.kind, BuildError::Kind::RUNS_OUT);
  const Key chained = make_key(1, {gene(1, 1, "a"), gene(0, 2, "*ab"), gene(0, 1, "-cb")});
  // b = a + 1, c = 2ab, d = c - b
  EXPECT_EQ(apply_rows(chained, {{3.0}}), (std::vector<std::vector<double>>{{3.0, 4.0, 24.0, 20.0}}));
}

TEST(ApplyKey, GenesThatCannotBeBuiltStopTheKey) {
  struct Case {
    std::vector<KeyGene> genes;
    int gene;
    BuildError::Kind why;
  };
  const Case cases[] = {
      {{gene(0, 1, "a"), gene(0, 1, ""), gene(0, 1, "")}, 2, BuildError::Kind::EMPTY},
      {{gene(0, 1, "?a")}, 1, BuildError::Kind::BAD_FIRST_SYMBOL},
      {{gene(0, 1, "a"), gene(0, 1, "+a")}, 2, BuildError::Kind::RUNS_OUT},
  };
  for (const Case& c : cases) {
    const PrepareError err = refusal(make_key(1, c.genes));
    EXPECT_EQ(err.kind, PrepareError::Kind::GENE);
    EXPECT_EQ(err.gene, c.gene);
    EXPECT_EQ(err.build.kind, c.why);
  }
}

TEST(ApplyKey, ThirtyInputsUseTheLettersAfterZ) {
  std::vector<double> row(30);
  for (int m = 0; m < 30; ++m) row[static_cast<std::size_t>(m)] = m;
  // { | } ~ are columns 26 to 29; byte 127 is the first gene's column.
  const std::string second = {'+', static_cast<char>(127), '~'};
  const Key key = make_key(30, {gene(0, 1, "*{|"), gene(0, 1, second)});
  const auto rows = apply_rows(key, {row});
  EXPECT_EQ(rows[0][30], 26.0 * 27.0);
  EXPECT_EQ(rows[0][31], 26.0 * 27.0 + 29.0);
}

TEST(ApplyKey, AKeyMayNeedUpTo159Letters) {
  std::string last = {'+', 'a', static_cast<char>(255)};  // byte 255 is column 158
  std::vector<KeyGene> genes(10, gene(1, 1, "a"));
  genes.push_back(gene(0, 1, last));
  // 149 inputs and 11 genes: the last gene reads 159 columns, up to byte 255.
  const auto rows = apply_rows(make_key(149, genes), {std::vector<double>(149, 2.0)});
  ASSERT_EQ(rows[0].size(), 160u);
  EXPECT_EQ(rows[0][159], 2.0 + 3.0);  // a + the tenth gene's a + 1

  genes.push_back(gene(0, 1, "a"));
  const PrepareError err = refusal(make_key(149, genes));
  EXPECT_EQ(err.kind, PrepareError::Kind::TOO_MANY_LETTERS);
  EXPECT_EQ(err.variable_count, 149);
  EXPECT_EQ(err.genes_before_last, 11);
  EXPECT_EQ(refusal(make_key(-1, genes)).kind, PrepareError::Kind::NEGATIVE_INPUTS);
}

// Random genes over every symbol, checked against the tree walker bit for
// bit on random rows, including zeros, negatives, infinities and NaN.
TEST(ApplyKey, CompiledProgramsMatchTheTreeWalker) {
  std::mt19937_64 rng(20261208);
  const std::string functions = testing::operator_symbols() + "?";
  const double specials[] = {0.0, -0.0, 1.0, -1.0, 0.5, -2.5, 1e300, -1e-300,
                             std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()};
  for (int trial = 0; trial < 300; ++trial) {
    const int variables = 1 + static_cast<int>(rng() % 6);
    std::vector<KeyGene> genes;
    for (const auto& drawn : testing::random_genes(rng, variables, 1 + static_cast<int>(rng() % 4), 20, functions))
      genes.push_back(gene(drawn.intercept, drawn.slope, drawn.symbols));
    const Key key = make_key(variables, genes);
    std::vector<std::vector<double>> rows;
    const std::size_t row_count = 1 + rng() % 600;  // crosses block boundaries
    for (std::size_t i = 0; i < row_count; ++i) {
      std::vector<double> row;
      for (int m = 0; m < variables; ++m)
        row.push_back(rng() % 5 == 0 ? specials[rng() % std::size(specials)]
                                     : std::uniform_real_distribution<double>(-10, 10)(rng));
      rows.push_back(row);
    }
    const auto fast = apply_rows(key, rows);
    for (std::size_t i = 0; i < row_count; ++i) {
      const auto slow = apply_reference(key, rows[i]);
      ASSERT_EQ(fast[i].size(), slow.size());
      for (std::size_t m = 0; m < slow.size(); ++m)
        ASSERT_TRUE(testing::same_bits(fast[i][m], slow[m])) << "trial " << trial << " row " << i << " column " << m;
    }
  }
}

// An operation that reads one computed value twice gives its slot back
// once: given back twice, two later values would share it.
TEST(ApplyKey, AValueReadTwiceByOneOperationKeepsItsSlotOnce) {
  const char* shared[] = {
      "+*-++ababab",    // (a + b) * (a + b) + (a - b)
      "-^*++ababab",    // (a + b) ^ (a + b) - a * b
      "+*-QQab++abab",  // sqrt(a + b) * sqrt(a + b) + (a - b)
  };
  const std::vector<std::vector<double>> rows = {{1.5, -2.25}, {3.0, 0.5}, {-7.0, 11.0}};
  for (const char* symbols : shared) {
    const Key key = make_key(2, {gene(0.0, 1.0, symbols)});
    const auto fast = apply_rows(key, rows);
    for (std::size_t i = 0; i < rows.size(); ++i)
      EXPECT_TRUE(testing::same_bits(fast[i].back(), apply_reference(key, rows[i]).back())) << symbols << " row " << i;
  }
}

}  // namespace
}  // namespace karva
