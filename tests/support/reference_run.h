// The straightforward way of applying a key, kept as the reference that the
// fast path must equal byte for byte: whole lines, strtod, the tree walker
// on one row at a time, and printf.
#pragma once

#include <optional>
#include <string>

namespace karva::testing {

struct ReferenceResult {
  std::string output;    // the output file's bytes
  std::string r_square;  // the R-square line, when there is a target
};

// Nothing when the key or the data cannot be used at all.
std::optional<ReferenceResult> reference_run(const std::string& key_path, const std::string& data_path,
                                             bool has_target, int precision = 6);

}  // namespace karva::testing
