#include "text/number.h"

#include <array>
#include <cctype>
#include <cstdint>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <limits>
#include <string>

namespace karva {
namespace {

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

double parse_number(std::string_view token, bool* whole) {
  const char* end = token.data() + token.size();
  constexpr std::size_t SHORT_TOKEN = 64;
  if (whole) *whole = true;
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
    if (ec == std::errc() && (stop == end || (*stop != 'x' && *stop != 'X'))) {
      if (whole) *whole = stop == end;
      return value;
    }
  }
  // strtod needs a terminated string; the token is a slice of a line.
  thread_local std::string text;
  text.assign(token);
  char* stop = nullptr;
  const double value = std::strtod(text.c_str(), &stop);
  // Leading white space is no part of a number here, though strtod skips it.
  if (whole)
    *whole = !token.empty() && !std::isspace(static_cast<unsigned char>(token[0])) &&
             stop == text.c_str() + text.size();
  return value;
}

namespace {

constexpr std::string_view MISSING_SPELLINGS[] = {"NA", "N/A", "NaN", "nan", "null", "NULL", "None", "#N/A", "-"};

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// Whether `t` is [+-](digits[.digits] | .digits)[(e|E)[+-]digits], with
// `decimal` as the mark, or [+-]inf or [+-]infinity in any case.
bool is_csv_number(std::string_view t, char decimal) {
  std::size_t i = t.starts_with('+') || t.starts_with('-') ? 1 : 0;
  const std::string_view word = t.substr(i);
  if (equal_ignoring_case(word, "inf") || equal_ignoring_case(word, "infinity")) return true;
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < t.size() && is_digit(t[i])) ++i;
    return i - from;
  };
  std::size_t mantissa = digits();
  if (i < t.size() && t[i] == decimal) {
    ++i;
    mantissa += digits();
  }
  if (mantissa == 0) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == t.size();
}

}  // namespace

bool is_missing_spelling(std::string_view text) {
  return std::find(std::begin(MISSING_SPELLINGS), std::end(MISSING_SPELLINGS), text) != std::end(MISSING_SPELLINGS);
}

CsvValue read_csv_number(std::string_view text, char decimal, double& value) {
  value = std::numeric_limits<double>::quiet_NaN();
  const std::size_t first = text.find_first_not_of(" \t");
  const std::size_t last = text.find_last_not_of(" \t");
  const std::string_view t = first == std::string_view::npos ? "" : text.substr(first, last - first + 1);
  if (t.empty() || is_missing_spelling(t)) return CsvValue::MISSING;
  if (!is_csv_number(t, decimal)) return CsvValue::NOT_A_NUMBER;
  if (decimal == '.') {
    value = parse_number(t);
    return CsvValue::NUMBER;
  }
  // "0,3455" is read as exactly the double "0.3455" gives.
  std::string point(t);
  std::replace(point.begin(), point.end(), decimal, '.');
  value = parse_number(point);
  return CsvValue::NUMBER;
}

bool looks_numeric(std::string_view token) {
  bool whole = false;
  parse_number(token, &whole);
  return whole;
}

std::string_view unquoted(std::string_view token) {
  if (token.size() >= 2 && token.front() == '"' && token.back() == '"') return token.substr(1, token.size() - 2);
  return token;
}

namespace {

constexpr const auto& POWERS_OF_TEN = detail::INTEGER_POWERS_OF_TEN;
static_assert(POWERS_OF_TEN.size() > MAX_PRECISION);

constexpr int MANTISSA_BITS = 52;
constexpr int EXPONENT_BIAS = 1075;  // of the integer mantissa
constexpr int EXPONENT_MASK = 0x7FF;
constexpr int WIDE_BITS = 128;
constexpr int NARROW_BITS = 64;
constexpr int MAX_INTEGER_SHIFT = 11;  // a 53-bit mantissa shifted this far stays below 2^64

__extension__ typedef unsigned __int128 Wide;  // 53-bit mantissas times 10^17 fit

// "00" to "99", so that digits are written two at a time.
constexpr std::array<char, 200> DIGIT_PAIRS = [] {
  std::array<char, 200> pairs{};
  for (int i = 0; i < 100; ++i) {
    pairs[static_cast<std::size_t>(2 * i)] = static_cast<char>('0' + i / 10);
    pairs[static_cast<std::size_t>(2 * i + 1)] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

// Writes the last `width` digits of `value`, zeros leading.
char* write_digits(char* out, std::uint64_t value, int width) {
  int i = width;
  for (; i >= 2; i -= 2) {
    const std::size_t pair = static_cast<std::size_t>(value % 100) * 2;
    value /= 100;
    out[i - 2] = DIGIT_PAIRS[pair];
    out[i - 1] = DIGIT_PAIRS[pair + 1];
  }
  if (i == 1) out[0] = static_cast<char>('0' + value % 10);
  return out + width;
}

// printf's own spelling of infinities and NaN, sign included.
char* format_not_finite(char* out, double value, int precision) {
  return out + std::snprintf(out, MAX_FIXED_CHARS, "%.*f", precision, value);
}

}  // namespace

char* format_fixed(char* out, double value, int precision) {
  if (!std::isfinite(value)) return format_not_finite(out, value, precision);
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  const bool negative = bits >> 63;
  const int biased = static_cast<int>((bits >> MANTISSA_BITS) & EXPONENT_MASK);
  std::uint64_t mantissa = bits & ((std::uint64_t{1} << MANTISSA_BITS) - 1);
  int exponent = 1 - EXPONENT_BIAS;  // subnormals
  if (biased != 0) {
    mantissa |= std::uint64_t{1} << MANTISSA_BITS;
    exponent = biased - EXPONENT_BIAS;
  }
  // value = mantissa * 2^exponent. The exact digits come from integer
  // arithmetic: the whole part, then the fraction times 10^precision,
  // rounded to nearest with ties to even as printf rounds.
  std::uint64_t whole = 0;
  std::uint64_t fraction = 0;
  if (exponent >= 0) {
    if (exponent > MAX_INTEGER_SHIFT) {
      const auto r = std::to_chars(out, out + MAX_FIXED_CHARS, value, std::chars_format::fixed, precision);
      return r.ptr;
    }
    whole = mantissa << exponent;
  } else {
    const int shift = -exponent;
    Wide rest = mantissa;
    if (shift < NARROW_BITS) {
      whole = mantissa >> shift;
      rest = mantissa & ((std::uint64_t{1} << shift) - 1);
    }
    if (shift < WIDE_BITS) {
      const Wide scaled = rest * POWERS_OF_TEN[static_cast<std::size_t>(precision)];
      fraction = static_cast<std::uint64_t>(scaled >> shift);
      const Wide remainder = scaled & ((Wide{1} << shift) - 1);
      const Wide half = Wide{1} << (shift - 1);
      const bool odd = (precision == 0 ? whole : fraction) & 1;
      if (remainder > half || (remainder == half && odd)) {
        if (precision == 0) {
          ++whole;
        } else if (++fraction == POWERS_OF_TEN[static_cast<std::size_t>(precision)]) {
          fraction = 0;
          ++whole;
        }
      }
    }
    // Beyond 128 bits of shift the value is far below half a unit of the
    // last digit: it rounds to zero.
  }
  if (negative) *out++ = '-';
  out = std::to_chars(out, out + MAX_FIXED_CHARS, whole).ptr;
  if (precision > 0) {
    *out++ = '.';
    out = write_digits(out, fraction, precision);
  }
  return out;
}

char* format_shortest(char* out, double value) { return std::to_chars(out, out + MAX_FIXED_CHARS, value).ptr; }

}  // namespace karva
