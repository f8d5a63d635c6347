// The key as LaTeX: the formulas for a paper, which a reader can evaluate.
#pragma once

#include <string>
#include <vector>

#include "model/key.h"

namespace karva {

// A LaTeX document (amsmath): one align line per gene, g_j = intercept +
// slope * (its expression), the inputs as --explain names them (by `names`
// when there are names), the prediction as the last gene; then the
// definitions of the functions the formulas use that mathematics does not
// spell (the protected division, the cube root, rounding). `key_name` and
// `sha256` name the key in the text.
std::string emit_latex(const std::string& key_name, const std::string& sha256, const Key& key,
                       const std::vector<std::string>& names);

// A double in LaTeX: the shortest text that reads back as it, an exponent
// as \cdot 10^{e}; \infty and \mathrm{NaN}.
std::string latex_number(double value);

}  // namespace karva
