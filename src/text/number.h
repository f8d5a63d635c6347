// Exact number conversion in both directions: reading as strtod does in the
// C locale, writing as printf's "%.Nf" does, on fast paths where they agree.
#pragma once

#include <array>
#include <bit>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace karva {

// The digit scan loads eight text bytes as one integer, the first in the low
// byte; and one multiply or divide of exact doubles is correctly rounded only
// when it is done in double precision, not in a wider register.
static_assert(std::endian::native == std::endian::little, "the digit scan needs little-endian byte order");
static_assert(FLT_EVAL_METHOD == 0, "the fast paths need double arithmetic done in double precision");

inline constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

namespace detail {

// Powers of ten that a double holds exactly.
inline constexpr std::array<double, 23> EXACT_POWERS_OF_TEN = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
// 10^0 to 10^19: every power of ten below 2^64.
inline constexpr std::array<std::uint64_t, 20> INTEGER_POWERS_OF_TEN = [] {
  std::array<std::uint64_t, 20> p{};
  p[0] = 1;
  for (std::size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;
  return p;
}();
inline constexpr int MAX_EXACT_POWER = 22;
inline constexpr std::uint64_t MAX_EXACT_MANTISSA = std::uint64_t{1} << 53;
inline constexpr int MAX_MANTISSA_DIGITS = 19;  // below 2^64 whatever the digits
inline constexpr int MAX_EXPONENT_DIGITS = 4;
inline constexpr int CHUNK = 8;  // digits taken at a time
inline constexpr std::uint64_t ASCII_ZEROS = 0x3030303030303030;

// Eight digits at a time, in one register (SWAR): the technique of Daniel
// Lemire's fast_float and simdjson (is_made_of_eight_digits_fast,
// parse_eight_digits_unrolled), here for runs of one to eight digits.
//
// `chunk` holds 8 text bytes, the first in the low byte, with '0' taken
// away by xor, so that digits are the bytes below 10. Gives how many of
// the first bytes are digits.
inline int leading_digits(std::uint64_t chunk) {
  // A byte is flagged when its top bit is set or it is 10 or more; adding
  // 0x76 to its low seven bits cannot carry into the next byte.
  const std::uint64_t flagged =
      (chunk | ((chunk & 0x7F7F7F7F7F7F7F7F) + 0x7676767676767676)) & 0x8080808080808080;
  return flagged == 0 ? CHUNK : __builtin_ctzll(flagged) / CHUNK;
}

// The value of the first `count` (1 to 8) digits of `chunk`.
inline std::uint64_t digits_value(std::uint64_t chunk, int count) {
  // Shifted up, the digits end at the top byte and zeros lead them.
  std::uint64_t v = chunk << (CHUNK * (CHUNK - count));
  v = v * 10 + (v >> 8);
  v = (((v & 0x000000FF000000FF) * (100 + (1000000ULL << 32))) +
       (((v >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32)))) >> 32;
  return v;
}

// Reads a run of digits at p (before e) into mantissa; false when the
// digits overflow what the fast path takes.
inline bool read_digits(const char*& p, const char* e, std::uint64_t& mantissa, int& digits, int& taken) {
  taken = 0;
  for (;;) {
    std::uint64_t chunk = 0;
    __builtin_memcpy(&chunk, p, sizeof chunk);
    chunk ^= ASCII_ZEROS;
    int k = leading_digits(chunk);
    if (k > e - p) k = static_cast<int>(e - p);
    if (k == 0) return true;
    if (digits + k > MAX_MANTISSA_DIGITS) return false;
    mantissa = mantissa * INTEGER_POWERS_OF_TEN[static_cast<std::size_t>(k)] + digits_value(chunk, k);
    digits += k;
    taken += k;
    p += k;
    if (k < CHUNK) return true;
  }
}

}  // namespace detail

// Bytes that must be readable past the end of any text given to
// scan_simple_decimal; it reads 8 bytes at a time.
inline constexpr std::size_t SCAN_PADDING = 8;

// Reads a plain decimal number, [-]digits[.digits][(e|E)[+-]digits], starting
// at `p` and going no further than `e`, when its digits (19 at most) make an
// integer below 2^53 and its scale a power of ten up to 22. Then the value is
// one multiplication or division of two exact doubles, correctly rounded,
// which is what strtod gives. Returns where the number stops, or nullptr when
// the text needs the general path. SCAN_PADDING bytes after `e` must be
// readable (their values do not matter).
inline const char* scan_simple_decimal(const char* p, const char* e, double& out) {
  using namespace detail;
  // Signs come at random in data; no branch on them.
  const bool negative = p < e && *p == '-';
  p += negative;
  std::uint64_t mantissa = 0;
  int digits = 0;
  int taken = 0;
  if (!read_digits(p, e, mantissa, digits, taken)) return nullptr;
  int scale = 0;
  if (p < e && *p == '.') {
    ++p;
    if (!read_digits(p, e, mantissa, digits, taken)) return nullptr;
    scale = -taken;
  }
  if (digits == 0) return nullptr;
  if (p < e && (*p == 'e' || *p == 'E')) {
    const char* q = p + 1;
    bool negative_exponent = false;
    if (q < e && (*q == '-' || *q == '+')) negative_exponent = *q++ == '-';
    if (q == e || !is_digit(*q)) return nullptr;  // "1e" and "1e+" stop before the e
    int exponent = 0;
    int exponent_digits = 0;
    for (; q < e && is_digit(*q); ++q) {
      if (++exponent_digits > MAX_EXPONENT_DIGITS) return nullptr;
      exponent = exponent * 10 + (*q - '0');
    }
    scale += negative_exponent ? -exponent : exponent;
    p = q;
  }
  if (mantissa > MAX_EXACT_MANTISSA || scale < -MAX_EXACT_POWER || scale > MAX_EXACT_POWER) {
    if (mantissa != 0) return nullptr;
    scale = 0;  // zero is zero whatever the exponent
  }
  double value = static_cast<double>(mantissa);
  value = scale < 0 ? value / EXACT_POWERS_OF_TEN[static_cast<std::size_t>(-scale)]
                    : value * EXACT_POWERS_OF_TEN[static_cast<std::size_t>(scale)];
  // The sign goes on last, by its bit, so that -0 stays -0.
  std::uint64_t bits = 0;
  __builtin_memcpy(&bits, &value, sizeof bits);
  bits |= static_cast<std::uint64_t>(negative) << 63;
  __builtin_memcpy(&out, &bits, sizeof out);
  return p;
}

// The value of the longest prefix of `token` that strtod accepts, or 0.0
// when it accepts none. `*whole`, when given, tells whether that prefix is
// the whole token and the token does not start with white space.
double parse_number(std::string_view token, bool* whole = nullptr);

// How a CSV field reads, as pandas reads it: spaces around a number are
// allowed; the decimal mark is `decimal`; hex floats, nan(...), a
// thousands separator and any other text are not numbers; the common
// spellings of a missing value (NA, N/A, NaN, nan, null, NULL, None, #N/A,
// -) and blanks are missing. Not a number and missing give NaN.
enum class CsvValue { NUMBER, MISSING, NOT_A_NUMBER };
CsvValue read_csv_number(std::string_view text, char decimal, double& value);
// One of those spellings of a missing value.
bool is_missing_spelling(std::string_view text);

// True when the whole token is one number: not empty, no leading white
// space, and strtod stops at its end.
bool looks_numeric(std::string_view token);

// A token enclosed in double quotes as a whole, without them; any other
// token as it is.
std::string_view unquoted(std::string_view token);

// Widest text format_fixed writes: 309 integer digits, sign, point and the
// most digits after the point, with room to spare.
inline constexpr int MIN_PRECISION = 0;
inline constexpr int MAX_PRECISION = 17;
inline constexpr std::size_t MAX_FIXED_CHARS = 350;

// Writes `value` as printf's "%.<precision>f" does, without a terminating
// zero, into `out`, which has room for MAX_FIXED_CHARS; returns the end.
char* format_fixed(char* out, double value, int precision);

// Writes `value` as the shortest text that reads back as the same double,
// into `out`, which has room for MAX_FIXED_CHARS; returns the end.
char* format_shortest(char* out, double value);

}  // namespace karva
