#include "tool/number.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace karva {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// from_chars reads plain decimal forms exactly as strtod does. It does not
// take a leading '+', white space, hex floats or inf/nan after a sign, and it
// refuses values out of range where strtod gives infinity or zero: those go
// to strtod, as does everything that does not start like a decimal number.
bool fast_path_applies(std::string_view t) {
  if (t.empty()) return false;
  const char c = t[0];
  if (is_digit(c)) return true;
  if (t.size() < 2) return false;
  if (c == '.') return is_digit(t[1]);
  if (c == '-') return is_digit(t[1]) || (t[1] == '.' && t.size() > 2 && is_digit(t[2]));
  return false;
}

}  // namespace

double parse_number_strtod(std::string_view token) {
  // strtod needs a terminated string; the token is a slice of a line.
  thread_local std::string text;
  text.assign(token);
  return std::strtod(text.c_str(), nullptr);
}

double parse_number(std::string_view token) {
  const char* end = token.data() + token.size();
  constexpr std::size_t SHORT_TOKEN = 64;
  if (!token.empty() && token.size() <= SHORT_TOKEN) {
    // A padded copy, since the scan reads past the token's end.
    char padded[SHORT_TOKEN + SCAN_PADDING] = {};
    std::memcpy(padded, token.data(), token.size());
    double simple = 0.0;
    if (scan_simple_decimal(padded, padded + token.size(), simple) == padded + token.size()) return simple;
  }
  if (fast_path_applies(token)) {
    double value = 0.0;
    const auto [stop, ec] = std::from_chars(token.data(), end, value);
    // "0x1A" stops at the x, where strtod reads on as hex.
    if (ec == std::errc() && (stop == end || (*stop != 'x' && *stop != 'X'))) return value;
  }
  return parse_number_strtod(token);
}

bool looks_numeric(std::string_view token) {
  if (token.empty() || std::isspace(static_cast<unsigned char>(token[0]))) return false;
  const std::string text(token);
  char* stop = nullptr;
  std::strtod(text.c_str(), &stop);
  return stop == text.c_str() + text.size();
}

char* format_fixed(char* out, double value, int precision) {
  if (std::isfinite(value)) {
    const auto r = std::to_chars(out, out + MAX_FIXED_CHARS, value, std::chars_format::fixed, precision);
    return r.ptr;
  }
  // printf's own spelling of infinities and NaN, sign included.
  const int n = std::snprintf(out, MAX_FIXED_CHARS, "%.*f", precision, value);
  return out + n;
}

}  // namespace karva
