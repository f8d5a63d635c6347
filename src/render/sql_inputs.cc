#include "render/sql_inputs.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "text/number.h"

namespace karva {
namespace {

// The infinities as the command reads them, in lower case.
constexpr const char* INFINITY_SPELLINGS = "('inf', '+inf', '-inf', 'infinity', '+infinity', '-infinity')";

// Whether `t` (text, blanks trimmed) is a number by the command's grammar,
// [+-](digits[.digits] | .digits)[(e|E)[+-]digits], in SQLite, which has
// GLOB but no regular expressions: once the leading sign is gone and an
// exponent's sign dropped, what is left holds only digits, one point and
// one e, the point before the e, a digit first (or a point then a digit)
// and a digit last.
std::string sqlite_numeric_text(const std::string& t) {
  const std::string u = "(CASE WHEN substr(" + t + ", 1, 1) IN ('+', '-') THEN substr(" + t + ", 2) ELSE " + t + " END)";
  const std::string v = "replace(replace(lower(" + u + "), 'e+', 'e'), 'e-', 'e')";
  return u + " NOT GLOB '*[^0-9.eE+-]*' AND lower(" + u + ") NOT GLOB '*[+-][+-]*' AND " + v + " NOT GLOB '*[+-]*' AND " +
         v + " NOT GLOB '*e*e*' AND " + v + " NOT GLOB '*.*.*' AND " + v + " NOT GLOB '*e*.*' AND (" + v +
         " GLOB '[0-9]*' OR " + v + " GLOB '.[0-9]*') AND " + v + " NOT GLOB '*e'";
}

}  // namespace

// SQLite's REAL: numbers as they are (whole numbers too, so that they never
// take integer arithmetic); numeric text as SQLite reads it; the infinities.
std::string sqlite_input(const std::string& column, const SqlHelpers&) {
  const std::string t = "trim(" + column + ", ' ' || char(9))";
  const std::string is_text = "typeof(" + column + ") = 'text' AND ";
  return "CASE WHEN typeof(" + column + ") IN ('integer', 'real') THEN CAST(" + column + " AS REAL) WHEN " + is_text +
         sqlite_numeric_text(t) + " THEN CAST(" + t + " AS REAL) WHEN " + is_text + "lower(" + t + ") IN " +
         INFINITY_SPELLINGS + " THEN CASE WHEN " + t + " LIKE '-%' THEN -9e999 ELSE 9e999 END END";
}

// DuckDB's DOUBLE: a column of numbers by TRY_CAST; text by TRY_CAST only
// when the command's grammar takes it (DuckDB's own cast takes more, 1_000
// among it).
std::string duckdb_input(const std::string& column, const SqlHelpers&) {
  const std::string t = "trim(CAST(" + column + " AS VARCHAR), ' ' || chr(9))";
  return "CASE WHEN typeof(" + column + ") <> 'VARCHAR' THEN TRY_CAST(" + column + " AS DOUBLE) WHEN regexp_full_match(" +
         t + ", '[+-]?([0-9]+[.]?[0-9]*|[.][0-9]+)([eE][+-]?[0-9]+)?') OR lower(" + t + ") IN " + INFINITY_SPELLINGS +
         " THEN TRY_CAST(" + t + " AS DOUBLE) END";
}

std::string postgresql_input(const std::string& column, const SqlHelpers& helpers) {
  return helpers.name("double") + "(" + column + ")";
}

namespace {

// A double's exact decimal digits, as glibc's printf writes them.
std::string exact_decimal(double v) {
  // The largest double's 309 digits, the point and 1 074 after it (2^-1074
  // has as many), room for a sign and the terminating zero.
  constexpr std::size_t MOST_CHARS = 309 + 1 + 1074 + 2;
  std::string text(MOST_CHARS, '\0');
  text.resize(static_cast<std::size_t>(std::snprintf(text.data(), text.size(), "%.1074f", v)));
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text.pop_back();
  return text;
}

}  // namespace

// PostgreSQL picks the overload by the column's type: double precision for
// every integer and float type, numeric for numeric, text for text. A
// numeric at or beyond the halfway point between the largest double and
// 2^1024 rounds to infinity; one at most half the smallest subnormal, to
// zero of its sign; between, PostgreSQL's cast reads its digits with
// strtod, correctly rounded, subnormals included.
std::string postgresql_input_functions(const SqlHelpers& helpers) {
  const double largest = std::numeric_limits<double>::max();
  const std::string huge = "(" + exact_decimal(largest) + "::numeric + " + exact_decimal(std::ldexp(1.0, 970)) + ")";
  const std::string tiny = exact_decimal(std::numeric_limits<double>::denorm_min()) + "::numeric";
  const std::string head = "CREATE OR REPLACE FUNCTION " + helpers.name("double") + "(x ";
  const std::string tail = ") RETURNS double precision LANGUAGE sql IMMUTABLE AS $karva$ SELECT ";
  return head + "double precision" + tail + "x $karva$;\n" + head + "text" + tail +
         "CAST(x AS double precision) $karva$;\n" + head + "numeric" + tail +
         "CASE WHEN x IN ('NaN', 'Infinity', '-Infinity') THEN CAST(x AS double precision) WHEN abs(x) >= " + huge +
         " THEN CASE WHEN x > 0 THEN " + postgresql_number(INFINITY) + " ELSE " + postgresql_number(-INFINITY) +
         " END WHEN abs(x) * 2 <= " + tiny + " THEN CASE WHEN x < 0 THEN " + postgresql_number(-0.0) + " ELSE " +
         postgresql_number(0.0) + " END ELSE CAST(x AS double precision) END $karva$;\n";
}

}  // namespace karva
