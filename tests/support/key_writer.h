// Builds key files from a readable description, for tests and examples.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "model/ops.h"

namespace karva::testing {

// Every symbol that has an operation, from the operator table.
inline std::string operator_symbols() { return std::string(OPERATOR_SYMBOLS); }

struct GeneSpec {
  double intercept = 0.0;
  double slope = 1.0;
  std::string symbols;
  double trailing_value = 0.0;
};

// The bytes of a key file; `gene_count` defaults to the number of genes.
std::string key_bytes(std::int32_t variable_count, const std::vector<GeneSpec>& genes,
                      std::optional<std::int32_t> gene_count = std::nullopt);

// The same from text: a line "variables N", then a line per gene
// "gene INTERCEPT SLOPE SYMBOLS [TRAILING]", where SYMBOLS may hold \xNN
// escapes. Blank lines and lines starting with # are skipped. Numbers are
// read by strtod, so hex floats give exact values. Nothing on a bad line.
std::optional<std::string> key_from_text(const std::string& text, std::string* error = nullptr);

// Genes over `variables` inputs, each reading the inputs and the columns of
// the genes before it: a head of up to `max_head` symbols drawn from
// `functions` (where '?' stands for a symbol in no set) and the terminal
// letters, then enough terminals to close the tree. Intercepts and slopes are drawn from -3 to 3.
std::vector<GeneSpec> random_genes(std::mt19937_64& rng, int variables, int genes, int max_head,
                                   const std::string& functions = operator_symbols());

// Keys the tests share: a(x) = x; a + b; and the two chained genes
// 0.5 + 2 (a + b), then -1 + 0.25 c c.
inline const std::string IDENTITY = key_bytes(1, {{0.0, 1.0, "a", 0.0}});
inline const std::string SUM_OF_TWO = key_bytes(2, {{0.0, 1.0, "+ab", 0.0}});
inline const std::string TWO_GENES = key_bytes(2, {{0.5, 2.0, "+ab", 0.0}, {-1.0, 0.25, "*cc", 0.0}});

// Whether two doubles are the same bits, or both NaN (whose sign no
// operation defines).
inline bool same_bits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

// Writes bytes to a file; false on failure.
bool write_file(const std::string& path, const std::string& bytes);

}  // namespace karva::testing
