// Exact number conversion in both directions: reading as strtod does in the
// C locale, writing as printf's "%.Nf" does, on fast paths where they agree.
#pragma once

#include <cstddef>
#include <string_view>

namespace karva {

// The value of the longest prefix of `token` that strtod accepts, or 0.0
// when it accepts none.
double parse_number(std::string_view token);

// The same through strtod alone: the reference the fast path must equal.
double parse_number_strtod(std::string_view token);

// True when the whole token is one number: not empty, no leading white
// space, and strtod stops at its end.
bool looks_numeric(std::string_view token);

// Widest text format_fixed writes: 309 integer digits, sign, point and the
// most digits after the point, with room to spare.
inline constexpr int MAX_PRECISION = 17;
inline constexpr std::size_t MAX_FIXED_CHARS = 350;

// Writes `value` as printf's "%.<precision>f" does, without a terminating
// zero, into `out`, which has room for MAX_FIXED_CHARS; returns the end.
char* format_fixed(char* out, double value, int precision);

}  // namespace karva
