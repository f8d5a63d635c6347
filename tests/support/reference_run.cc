#include "support/reference_run.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>
#include <vector>

#include "support/process.h"

// Written apart from karva's own code on purpose: its own reading of the
// key file, its own walk of the Karva notation, its own arithmetic, numeric
// test and R-square, so that a fault in karva's cannot pass here too.
namespace karva::testing {
namespace {

constexpr std::string_view FIELD_DELIMITERS = " \t,;";
constexpr std::string_view UNARY = "ACDELQRS";
constexpr char FIRST_LETTER = 'a';

struct RefGene {
  double intercept = 0;
  double slope = 0;
  std::string symbols;
};

struct RefKey {
  std::int32_t variables = 0;
  std::vector<RefGene> genes;
};

// The key file: two 32-bit counts, then per gene intercept, slope, a
// symbol count, the symbols (text up to a zero byte) and a trailing double.
std::optional<RefKey> parse_key(const std::string& bytes) {
  std::size_t at = 0;
  const auto take = [&](void* out, std::size_t n) {
    if (bytes.size() - at < n) return false;
    std::memcpy(out, bytes.data() + at, n);
    at += n;
    return true;
  };
  RefKey key;
  std::int32_t genes = 0;
  if (!take(&key.variables, 4) || !take(&genes, 4) || genes <= 0) return std::nullopt;
  for (std::int32_t g = 0; g < genes; ++g) {
    RefGene gene;
    std::int32_t length = 0;
    double trailing = 0;
    if (!take(&gene.intercept, 8) || !take(&gene.slope, 8) || !take(&length, 4) || length < 0) return std::nullopt;
    std::string symbols(static_cast<std::size_t>(length), '\0');
    if (!take(symbols.data(), symbols.size()) || !take(&trailing, 8)) return std::nullopt;
    gene.symbols = symbols.substr(0, symbols.find('\0'));
    key.genes.push_back(gene);
  }
  return key;
}

double apply_symbol(char symbol, double x, double y) {
  switch (symbol) {
    case '+': return x + y;
    case '-': return x - y;
    case '*': return x * y;
    case '/': return y != 0.0 ? x / y : x > 0.0 ? 4294967295.0 : x < 0.0 ? 1.0 : 0.0;
    case '^': return std::pow(std::fabs(x), y);
    case 'A': return std::fabs(x);
    case 'C': return std::cos(x);
    case 'D': return (x > 0.0 ? 1.0 : x < 0.0 ? -1.0 : 0.0) * std::pow(std::fabs(x), 0x1.5555555555555p-2);
    case 'E': return std::exp(x);
    case 'L': return std::log(std::fabs(x));
    case 'Q': return std::sqrt(std::fabs(x));
    case 'R': return std::round(x);
    case 'S': return std::sin(x);
  }
  return 0.0;  // a symbol with no operation
}

// One gene's expression, read level by level: the children of the k-th
// function symbol follow those of the functions before it.
class Expression {
 public:
  Expression(std::string_view symbols, const std::vector<double>& row) : symbols_(symbols), row_(row) {}

  // False when the symbols run out before the tree is whole, or the first
  // is of no kind.
  bool lay_out() {
    if (symbols_.empty() || (!is_letter(symbols_[0]) && UNARY.find(symbols_[0]) == std::string_view::npos &&
                             std::string_view("+*-/^").find(symbols_[0]) == std::string_view::npos))
      return false;
    std::size_t used = 1;
    for (std::size_t i = 0; i < used; ++i) {
      if (i >= symbols_.size()) return false;
      first_child_.push_back(used);
      used += static_cast<std::size_t>(arity(symbols_[i]));
    }
    return used <= symbols_.size();
  }

  double value(std::size_t i = 0) const {
    const char s = symbols_[i];
    const int n = arity(s);
    if (n == 0) return row_[static_cast<unsigned char>(s) - static_cast<unsigned char>(FIRST_LETTER)];
    const double x = value(first_child_[i]);
    return apply_symbol(s, x, n == 2 ? value(first_child_[i] + 1) : 0.0);
  }

 private:
  bool is_letter(char s) const {
    const int k = static_cast<unsigned char>(s) - static_cast<unsigned char>(FIRST_LETTER);
    return k >= 0 && k < static_cast<int>(row_.size());
  }
  // Whatever is neither a letter nor a unary function takes two children.
  int arity(char s) const { return is_letter(s) ? 0 : UNARY.find(s) != std::string_view::npos ? 1 : 2; }

  std::string_view symbols_;
  const std::vector<double>& row_;
  std::vector<std::size_t> first_child_;
};

// The whole token is one number, as strtod reads it.
bool is_number(std::string_view token) {
  const std::string text(token);
  char* end = nullptr;
  std::strtod(text.c_str(), &end);
  return !text.empty() && !std::isspace(static_cast<unsigned char>(text[0])) && end == text.c_str() + text.size();
}

double strtod_of(std::string_view token) { return std::strtod(std::string(token).c_str(), nullptr); }

std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t p = 0;
  for (;;) {
    p = line.find_first_not_of(FIELD_DELIMITERS, p);
    if (p == std::string_view::npos) return fields;
    const std::size_t q = std::min(line.find_first_of(FIELD_DELIMITERS, p), line.size());
    fields.push_back(line.substr(p, q - p));
    p = q;
  }
}

// The squared correlation, in long double, from the centred sums.
double squared_correlation(const std::vector<double>& t, const std::vector<double>& p) {
  long double mt = 0, mp = 0;
  for (std::size_t i = 0; i < t.size(); ++i) {
    mt += t[i];
    mp += p[i];
  }
  mt /= static_cast<long double>(t.size());
  mp /= static_cast<long double>(t.size());
  long double stt = 0, spp = 0, stp = 0;
  for (std::size_t i = 0; i < t.size(); ++i) {
    stt += (t[i] - mt) * (t[i] - mt);
    spp += (p[i] - mp) * (p[i] - mp);
    stp += (t[i] - mt) * (p[i] - mp);
  }
  return static_cast<double>(stp * stp / (stt * spp));
}

}  // namespace

std::optional<ReferenceResult> reference_run(const std::string& key_path, const std::string& data_path,
                                             bool has_target, int precision) {
  const std::optional<RefKey> key = parse_key(read_file(key_path));
  if (!key) return std::nullopt;
  std::ifstream in(data_path, std::ios::binary);
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  const auto strip = [](std::string& l) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
  };
  strip(line);
  const auto first = split_fields(line);
  if (first.empty()) return std::nullopt;
  const bool has_header = !is_number(first[0]);
  const int n = key->variables;
  std::string out = !has_target ? "predict\n" : has_header ? std::string(first[0]) + "(target) predict\n" : "target predict\n";
  std::vector<double> targets, predictions;
  bool pending = !has_header;
  char buf[512];
  for (;;) {
    if (!pending) {
      if (!std::getline(in, line)) break;
      strip(line);
    }
    pending = false;
    const auto fields = split_fields(line);
    if (static_cast<long long>(fields.size()) < n + (has_target ? 1 : 0)) break;
    std::vector<double> row;
    std::size_t f = 0;
    double target = 0;
    if (has_target) target = strtod_of(fields[f++]);
    for (int m = 0; m < n; ++m) row.push_back(strtod_of(fields[f++]));
    for (const RefGene& gene : key->genes) {
      Expression expression(gene.symbols, row);
      if (!expression.lay_out()) return std::nullopt;
      const double scaled = expression.value() * gene.slope;
      row.push_back(scaled + gene.intercept);
    }
    if (has_target) {
      std::snprintf(buf, sizeof buf, "%.*f ", precision, target);
      out += buf;
      targets.push_back(target);
      predictions.push_back(row.back());
    }
    std::snprintf(buf, sizeof buf, "%.*f\n", precision, row.back());
    out += buf;
  }
  ReferenceResult r{out, ""};
  if (has_target) {
    std::snprintf(buf, sizeof buf, "R-square = %.3f\n", squared_correlation(targets, predictions));
    r.r_square = buf;
  }
  return r;
}

}  // namespace karva::testing
