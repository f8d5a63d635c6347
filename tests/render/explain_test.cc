#include "render/explain.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <sstream>

#include "model/apply.h"
#include "model/ops.h"
#include "support/key_writer.h"
#include "support/process.h"
#include "text/digest.h"

namespace karva {
namespace {

using testing::GeneSpec;
using testing::key_bytes;
using testing::random_genes;
using testing::run_karva;
using testing::ScratchDir;

std::string explain_text(const std::string& key, const std::vector<std::string>& extra = {},
                         const std::string& data = "", int* status = nullptr) {
  ScratchDir dir;
  dir.write("k.key", key);
  std::vector<std::string> args = {"--explain"};
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back("k.key");
  if (!data.empty()) args.push_back(dir.write("d.txt", data));
  const testing::Outcome o = run_karva(dir, args);
  if (status) *status = o.status;
  return o.out;
}

std::string gene_lines(const std::string& text) {
  std::istringstream in(text);
  std::string lines;
  for (std::string l; std::getline(in, l);)
    if (l.rfind("Gene ", 0) == 0 || l.rfind("Inputs:", 0) == 0) lines += l + "\n";
  return lines;
}

TEST(Explain, TheTwoGeneExample) {
  int status = -1;
  const std::string key = key_bytes(2, {{0.5, 2.0, "+ab", 0.0}, {-1.0, 0.25, "*cc", 0.0}});
  const std::string text = explain_text(key, {}, "", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(text,
            "Key k.key: 2 input variables, 2 genes.\n"
            "Inputs: a, b\n"
            "Gene 1: c = 0.5 + 2 * (a + b)\n"
            "Gene 2: d = -1 + 0.25 * (c * c)\n"
            "The prediction is the last gene's value.\n"
            "SHA-256 of the key file: " + sha256_hex(key) + "\n");
}

TEST(Explain, EveryFunctionAndTheFewestBrackets) {
  struct Case {
    const char* symbols;
    double slope;
    const char* formula;
  };
  const Case cases[] = {
      {"a", 1, "c = 0 + 1 * a"},
      {"ACDELQRSa", 1, "c = 0 + 1 * abs(cos(cbrt(exp(log(sqrt(round(sin(a))))))))"},
      {"QQa", -1.5, "c = 0 + (-1.5) * sqrt(sqrt(a))"},
      {"CDELRSAQaaaaaaaa", 1, "c = 0 + 1 * cos(cbrt(exp(log(round(sin(abs(sqrt(a))))))))"},
      {"-a-ab", 1, "c = 0 + 1 * (a - (a - b))"},
      {"--bab", 1, "c = 0 + 1 * (a - b - b)"},
      {"*+bab", 1, "c = 0 + 1 * ((a + b) * b)"},
      {"+a*ab", 1, "c = 0 + 1 * (a + a * b)"},
      {"/a/ab", 1, "c = 0 + 1 * (a / (a / b))"},
      {"^^aab", 1, "c = 0 + 1 * (a ^ b) ^ a"},
      {"^a^ab", 1, "c = 0 + 1 * a ^ a ^ b"},
      {"*^^abab", 1, "c = 0 + 1 * (a ^ b * a ^ b)"},
      {"*^a^abab", 1, "c = 0 + 1 * ((b ^ a) ^ a * a)"},
      {"+a?ab", 1, "c = 0 + 1 * (a + 0)"},
      {"Sab", 1, "c = 0 + 1 * sin(a)"},
  };
  for (const Case& c : cases) {
    const std::string text = explain_text(key_bytes(2, {{0.0, c.slope, c.symbols, 0.0}}));
    EXPECT_EQ(gene_lines(text), std::string("Inputs: a, b\nGene 1: ") + c.formula + "\n") << c.symbols;
  }
}

TEST(Explain, GenesThatCannotBeBuilt) {
  int status = -1;
  const std::string text = explain_text(key_bytes(1, {{0, 1, "+a", 0}, {0, 1, "", 0}, {0, 1, "Qb", 0}}), {}, "",
                                        &status);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(gene_lines(text),
            "Inputs: a\n"
            "Gene 1: b cannot be built: its symbols run out before the tree is complete.\n"
            "Gene 2: c cannot be built: it has no symbols.\n"
            "Gene 3: d = 0 + 1 * sqrt(b)\n");
}

TEST(Explain, HeaderNamesStandInTheFormulas) {
  const std::string key = key_bytes(2, {{0.5, 2.0, "+ab", 0.0}});
  EXPECT_EQ(gene_lines(explain_text(key, {}, "y,x1,x2\n1,2,3\n")), "Inputs: a = x1, b = x2\nGene 1: c = 0.5 + 2 * (x1 + x2)\n");
  EXPECT_EQ(gene_lines(explain_text(key, {}, "p q\n1 2\n")), "Inputs: a = p, b = q\nGene 1: c = 0.5 + 2 * (p + q)\n");
  EXPECT_EQ(gene_lines(explain_text(key, {"-n"}, "y,x1,x2\n")), "Inputs: a, b\nGene 1: c = 0.5 + 2 * (a + b)\n");
  EXPECT_NE(explain_text(key, {"-n"}, "y,x1,x2\n").find("The header of"), std::string::npos);
}

TEST(Explain, FormulasNameTheColumnsTheRunReads) {
  const std::string key = key_bytes(3, {{0.0, 1.0, "+ab", 0.0}});
  struct Case {
    std::vector<std::string> options;
    std::string data;
    std::string inputs;
    std::string sum;  // a + b, by the inputs' names
  };
  const Case cases[] = {
      {{"--target=y"}, "x1,x2,y,x3\n1,2,3,4\n", "Inputs: a = x1, b = x2, c = x3\n", "x1 + x2"},
      {{"--inputs", "x3,x1,x2"}, "x1,x2,y,x3\n1,2,3,4\n", "Inputs: a = x3, b = x1, c = x2\n", "x3 + x1"},
      {{"--csv", "-y"}, "y,\"Smith, J\",b,c\n1,2,3,4\n", "Inputs: a = Smith, J, b = b, c = c\n", "\"Smith, J\" + b"},
      {{"--inputs", "p,q,r"}, "", "Inputs: a = p, b = q, c = r\n", "p + q"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(gene_lines(explain_text(key, c.options, c.data)), c.inputs + "Gene 1: d = 0 + 1 * (" + c.sum + ")\n")
        << c.data;
    // --emit names the same columns in its comments.
    ScratchDir dir;
    dir.write("k.key", key);
    std::vector<std::string> args = {"--emit", "c"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back("k.key");
    if (!c.data.empty()) args.push_back(dir.write("d.csv", c.data));
    EXPECT_NE(run_karva(dir, args).out.find("order: " + c.inputs.substr(8, c.inputs.size() - 9)), std::string::npos)
        << c.data;
  }
  int status = 0;
  explain_text(key, {"--target=nope"}, "x1,x2,y,x3\n", &status);
  EXPECT_EQ(status, 2);
}

// Reads a formula back and evaluates it, independently of the trees.
class FormulaReader {
 public:
  FormulaReader(const std::string& text, const std::vector<double>& row) : s_(text), row_(row) {}

  double gene_value() {
    // "INTERCEPT + SLOPE * EXPRESSION"
    const std::size_t plus = s_.find(" + ");
    const double intercept = std::strtod(s_.substr(0, plus).c_str(), nullptr);
    pos_ = plus + 3;
    double slope = 0;
    if (s_[pos_] == '(') {
      const std::size_t close = s_.find(')', pos_);
      slope = std::strtod(s_.substr(pos_ + 1, close - pos_ - 1).c_str(), nullptr);
      pos_ = close + 1;
    } else {
      const std::size_t space = s_.find(' ', pos_);
      slope = std::strtod(s_.substr(pos_, space - pos_).c_str(), nullptr);
      pos_ = space;
    }
    expect(" * ");
    const double v = sum();
    EXPECT_EQ(pos_, s_.size()) << s_;
    return intercept + slope * v;
  }

 private:
  bool at(const char* word) { return s_.compare(pos_, std::strlen(word), word) == 0; }
  void expect(const char* word) {
    ASSERT_TRUE(at(word)) << s_ << " at " << pos_;
    pos_ += std::strlen(word);
  }
  double sum() {
    double v = product();
    for (;;) {
      if (at(" + ")) {
        pos_ += 3;
        v = eval::add(v, product());
      } else if (at(" - ")) {
        pos_ += 3;
        v = eval::sub(v, product());
      } else {
        return v;
      }
    }
  }
  double product() {
    double v = power();
    for (;;) {
      if (at(" * ")) {
        pos_ += 3;
        v = eval::mul(v, power());
      } else if (at(" / ")) {
        pos_ += 3;
        v = eval::div(v, power());
      } else {
        return v;
      }
    }
  }
  double power() {
    const double base = atom();
    if (!at(" ^ ")) return base;
    pos_ += 3;
    return eval::power(base, power());
  }
  double atom() {
    static const std::map<std::string, double (*)(double, double)> functions = [] {
      std::map<std::string, double (*)(double, double)> by_name;
      for (const Operator& op : OPERATORS)
        if (op.binding == Binding::CALL) by_name.emplace(op.name, op.evaluate);
      return by_name;
    }();
    if (at("(")) {
      ++pos_;
      const double v = sum();
      expect(")");
      return v;
    }
    for (const auto& [name, f] : functions) {
      if (at((name + "(").c_str())) {
        pos_ += name.size() + 1;
        const double v = f(sum(), 0.0);
        expect(")");
        return v;
      }
    }
    if (at("0")) {
      ++pos_;
      return 0.0;
    }
    if (at("#")) {
      const std::size_t end = s_.find_first_not_of("0123456789", pos_ + 1);
      const int byte = std::stoi(s_.substr(pos_ + 1, end - pos_ - 1));
      pos_ = end;
      return row_.at(static_cast<std::size_t>(byte - 'a'));
    }
    const auto letter = static_cast<unsigned char>(s_[pos_++]);
    return row_.at(static_cast<std::size_t>(letter - 'a'));
  }

  std::string s_;
  std::size_t pos_ = 0;
  const std::vector<double>& row_;
};

bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b)); }

// Random keys: the printed formulas, evaluated on their own, give exactly
// what the key gives.
TEST(Explain, FormulasGiveThePredictions) {
  std::mt19937_64 rng(5);
  for (int trial = 0; trial < 40; ++trial) {
    const int variables = 1 + static_cast<int>(rng() % 4);
    const auto drawn = random_genes(rng, variables, 1 + static_cast<int>(rng() % 3), 12);
    const std::string bytes = key_bytes(variables, drawn);
    const std::string text = explain_text(bytes);
    std::vector<std::string> formulas;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
      if (l.rfind("Gene ", 0) == 0) formulas.push_back(l.substr(l.find(" = ") + 3));
    ASSERT_EQ(formulas.size(), drawn.size()) << text;

    Key key;
    key.variable_count = variables;
    for (const GeneSpec& s : drawn) {
      KeyGene g;
      g.intercept = s.intercept;
      g.slope = s.slope;
      g.symbols = s.symbols;
      key.genes.push_back(g);
    }
    const auto prepared = prepare_key(key);
    ASSERT_TRUE(prepared);
    DataTable table;
    const std::size_t rows = 50;
    table.reserve(rows, prepared->row_width());
    table.row_count = rows;
    for (std::size_t i = 0; i < rows; ++i)
      for (int m = 0; m < variables; ++m) table.column(m)[i] = std::uniform_real_distribution<double>(-5, 5)(rng);
    apply_key(*prepared, table);
    for (std::size_t i = 0; i < rows; ++i) {
      std::vector<double> row;
      for (int m = 0; m < variables; ++m) row.push_back(table.column(m)[i]);
      for (std::size_t j = 0; j < formulas.size(); ++j) {
        const double v = FormulaReader(formulas[j], row).gene_value();
        ASSERT_TRUE(same(v, table.column(variables + static_cast<int>(j))[i])) << formulas[j] << " row " << i;
        row.push_back(v);
      }
    }
  }
}

}  // namespace
}  // namespace karva
