// Builds key files from a readable description, for tests and examples.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace karva::testing {

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

// Writes bytes to a file; false on failure.
bool write_file(const std::string& path, const std::string& bytes);

}  // namespace karva::testing
