#include "support/reference_run.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "model/etree.h"
#include "support/tree_walker.h"
#include "model/key.h"
#include "text/number.h"
#include "engine/fit.h"
#include "support/process.h"
#include "input/columns.h"

namespace karva::testing {
namespace {

double strtod_of(std::string_view token) { return std::strtod(std::string(token).c_str(), nullptr); }

std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t p = 0;
  for (;;) {
    p = line.find_first_not_of(DELIMITERS, p);
    if (p == std::string_view::npos) return fields;
    const std::size_t q = std::min(line.find_first_of(DELIMITERS, p), line.size());
    fields.push_back(line.substr(p, q - p));
    p = q;
  }
}

}  // namespace

std::optional<ReferenceResult> reference_run(const std::string& key_path, const std::string& data_path,
                                             bool has_target, int precision) {
  const Expected<Key, KeyError> key = read_key(read_file(key_path), key_path);
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
  const bool has_header = !looks_numeric(first[0]);
  const int n = key->variable_count;
  std::string out = !has_target ? "predict\n" : has_header ? std::string(first[0]) + "(target) predict\n" : "target predict\n";
  FitData fit;
  bool pending = !has_header;
  char buf[MAX_FIXED_CHARS + 8];
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
    for (const KeyGene& gene : key->genes) {
      const std::string terminals = terminal_letters(static_cast<int>(row.size()));
      const auto tree = build_etree(gene.symbols, terminals, UNARY_FUNCTIONS, BINARY_OPERATORS, nullptr, nullptr);
      if (!tree) return std::nullopt;
      const double v = eval_etnode(tree.get(), terminals, row.data(), stderr);
      const double scaled = v * gene.slope;
      row.push_back(scaled + gene.intercept);
    }
    if (has_target) {
      std::snprintf(buf, sizeof buf, "%.*f ", precision, target);
      out += buf;
      fit.targets.push_back(target);
      fit.predictions.push_back(row.back());
    }
    std::snprintf(buf, sizeof buf, "%.*f\n", precision, row.back());
    out += buf;
  }
  ReferenceResult r{out, ""};
  if (has_target) {
    std::snprintf(buf, sizeof buf, "R-square = %.3f\n", r_square(fit).value);
    r.r_square = buf;
  }
  return r;
}

}  // namespace karva::testing
