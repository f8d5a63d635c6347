#include "render/sql_forms.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "text/escape.h"
#include "text/number.h"

namespace karva {

// A double as SQL that SQLite 3.40 reads exactly. Its decimal reading is not
// correctly rounded for every 17-digit constant, but an integer below 2^53
// written with "e0" is read exactly, and a power of two divides or
// multiplies exactly: every other double is such an integer times a power
// of two. NaN is NULL, as SQLite holds it.
std::string sql_number(double v) {
  if (std::isnan(v)) return "NULL";
  if (std::isinf(v)) return v > 0 ? "9e999" : "-9e999";
  int exponent = 0;
  const double fraction = std::frexp(v, &exponent);
  constexpr int MANTISSA_BITS = 53;
  auto mantissa = static_cast<std::int64_t>(std::ldexp(fraction, MANTISSA_BITS));
  exponent -= MANTISSA_BITS;
  while (mantissa != 0 && mantissa % 2 == 0 && exponent < 0) {
    mantissa /= 2;
    ++exponent;
  }
  std::string text = "(" + std::to_string(mantissa) + "e0";
  // Powers of two up to 2^62 are SQL integers; larger ones are taken in steps.
  constexpr int STEP = 62;
  for (int left = std::abs(exponent); left > 0; left -= std::min(left, STEP))
    text += (exponent < 0 ? " / " : " * ") + std::to_string(std::int64_t{1} << std::min(left, STEP));
  return text + ")";
}

namespace {

// A double as a typed literal: the shortest text that reads back as it.
std::string typed_number(double v, const char* type) {
  std::string text;
  if (std::isnan(v)) {
    text = "NaN";
  } else if (std::isinf(v)) {
    text = v > 0 ? "Infinity" : "-Infinity";
  } else {
    char buf[MAX_FIXED_CHARS];
    text.assign(buf, format_shortest(buf, v));
  }
  return "'" + text + "'::" + type;
}

}  // namespace

std::string postgresql_number(double v) { return typed_number(v, "float8"); }
std::string duckdb_number(double v) { return typed_number(v, "DOUBLE"); }

std::string SqlHelpers::name(std::string_view what) const {
  const std::string own = prefix + std::string(what);
  return temporary ? "pg_temp." + own : schema + sql_identifier(own);
}

}  // namespace karva
