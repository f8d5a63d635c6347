#include "render/sql_forms.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>

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

constexpr double INFINITE = std::numeric_limits<double>::infinity();

}  // namespace

std::string postgresql_number(double v) { return typed_number(v, "float8"); }
std::string duckdb_number(double v) { return typed_number(v, "DOUBLE"); }

namespace {

// The last double from `lo` towards `hi` (both positive) at which `holds`
// still does; it holds at `lo` and not at `hi`. Positive doubles order as
// their bits do.
template <typename Holds>
double last_holding(double lo, double hi, Holds holds) {
  auto a = std::bit_cast<std::uint64_t>(lo);
  auto b = std::bit_cast<std::uint64_t>(hi);
  while (b - a > 1) {
    const std::uint64_t mid = a + (b - a) / 2;
    (holds(std::bit_cast<double>(mid)) ? a : b) = mid;
  }
  return std::bit_cast<double>(a);
}

// Where exp leaves the double range, as the command's own exp (this
// platform's) has it: the largest x with a finite exp, the smallest with
// one above zero.
double exp_finite_up_to() {
  return last_holding(709.0, 710.0, [](double x) { return std::isfinite(eval::exp(x, 0)); });
}
double exp_above_zero_from() {
  return -last_holding(745.0, 746.0, [](double m) { return eval::exp(-m, 0) != 0.0; });
}

// PostgreSQL's pow in the double range. Far from its edges the sign of
// y * ln(x) tells the answer (infinity or zero); near them (a margin far
// wider than that product's rounding) only pow itself can tell, and the
// function karva_power asks it, taking the error it raises for the edge.
std::string postgresql_pow(const SqlHelpers& helpers) {
  const auto n = postgresql_number;
  const std::string x = "abs($a)";
  const std::string inf = n(INFINITE);
  const std::string t = "($b * ln(" + x + "))";
  const double top = 1024 * std::numbers::ln2;      // ln 2^1024: past it, pow overflows
  const double bottom = -1075 * std::numbers::ln2;  // ln 2^-1075: below it, pow is zero
  constexpr double MARGIN = 0x1p-20;
  const std::string edge = helpers.name("power") + "(" + x + ", $b, CASE WHEN " + t + " > 0 THEN " + inf + " ELSE " + n(0) + " END)";
  // Most powers are far from both edges: |y * ln x| is at most 16 ln 2 * 60.
  return "CASE WHEN " + x + " >= " + n(0x1p-16) + " AND " + x + " <= " + n(0x1p16) + " AND abs($b) <= 60 THEN power(" +
         x + ", $b) WHEN " + x + " = 0 OR " + x + " = " + n(NAN) + " OR " + x + " = " + inf + " OR $b = " + n(NAN) +
         " OR abs($b) = " + inf + " OR abs($b) < " + n(0x1p-100) + " THEN power(" + x + ", $b) WHEN abs($b) > " +
         n(0x1p64) + " THEN CASE WHEN ($b > 0) = (" + x + " > 1) THEN " + inf + " ELSE " + n(0) + " END ELSE CASE WHEN " +
         t + " > " + n(top + MARGIN) + " THEN " + inf + " WHEN " + t + " < " + n(bottom - MARGIN) + " THEN " + n(0) +
         " WHEN " + t + " > " + n(top - MARGIN) + " OR " + t + " < " + n(bottom + MARGIN) + " THEN " + edge +
         " ELSE power(" + x + ", $b) END END";
}

// PostgreSQL's +, -, * and /, which raise an error where C gives an
// infinity or a zero. Each guard is exact: it scales by powers of two,
// exact where it is used, so that no test leaves the range itself, and it
// nests CASEs for every step that could, since PostgreSQL promises no order
// for the operands of AND and OR.
std::string postgresql_arithmetic(OpCode op, const SqlHelpers& helpers) {
  const auto n = postgresql_number;
  const std::string inf = n(INFINITE);
  const std::string zero = n(0);
  const std::string finite_both_big =
      "abs($a) > 1 AND abs($b) > 1 AND abs($a) < " + inf + " AND abs($b) < " + inf;
  const std::string signed_inf = "CASE WHEN ($a > 0) = ($b > 0) THEN " + inf + " ELSE -" + inf + " END";
  const std::string sign_of_a_inf = "CASE WHEN $a > 0 THEN " + inf + " ELSE -" + inf + " END";
  // Most operands lie where no product or quotient of them can leave the
  // range: there the operation goes ahead after four comparisons.
  const std::string within_both = "abs($a) >= " + n(0x1p-511) + " AND abs($a) <= " + n(0x1p511) + " AND abs($b) >= " +
                                  n(0x1p-511) + " AND abs($b) <= " + n(0x1p511);
  if (op == OpCode::ADD || op == OpCode::SUB) {
    // Past the range only when both are above 1; halved, the sum is its own half.
    const std::string sign = op == OpCode::ADD ? " + " : " - ";
    const std::string plain = "$a" + sign + "$b";
    return "CASE WHEN abs($a) < " + n(0x1p1022) + " AND abs($b) < " + n(0x1p1022) + " THEN " + plain + " WHEN " +
           finite_both_big + " THEN CASE WHEN abs($a * " + n(0.5) + sign + "$b * " + n(0.5) + ") >= " + n(0x1p1023) +
           " THEN " + sign_of_a_inf + " ELSE " + plain + " END ELSE " + plain + " END";
  }
  if (op == OpCode::MUL) {
    // Beyond: both at least 2^512, or, scaled down by 2^-1024 (then below
    // 2^512), the product reaches 1. Zero, which needs one operand below
    // 2^-537 and the other below 1: scaled up by 2^1074, it is at most a
    // half, and only the product itself tells a half rounded from above.
    const std::string down = n(0x1p-512);
    const std::string up = n(0x1p537);
    const std::string scaled = "(abs($a) * " + up + ") * (abs($b) * " + up + ")";
    return "CASE WHEN " + within_both + " THEN $a * $b WHEN " + finite_both_big + " THEN CASE WHEN abs($a) >= " + n(0x1p512) + " AND abs($b) >= " +
           n(0x1p512) + " THEN " + signed_inf + " WHEN (abs($a) * " + down + ") * (abs($b) * " + down + ") >= 1 THEN " +
           signed_inf + " ELSE $a * $b END WHEN abs($a) < 1 AND abs($b) < 1 AND $a <> 0 AND $b <> 0 AND (abs($a) < " +
           n(0x1p-537) + " OR abs($b) < " + n(0x1p-537) + ") THEN CASE WHEN " + scaled + " < " + n(0.5) + " THEN " +
           zero + " WHEN " + scaled + " = " + n(0.5) + " THEN " + helpers.name("multiply") + "($a, $b, " + zero +
           ") ELSE $a * $b END ELSE $a * $b END";
  }
  // Division. Beyond needs |b| below 1: with d = |b| * 2^1023, exact, the
  // quotient is beyond when |a| reaches 2d, and, for |a| between d/4 and 2d,
  // when |a| / d rounds to 2. Zero needs |b| above 1: it is when |a| is at
  // most half of |b| * 2^-1074, compared exactly.
  const std::string d = "(abs($b) * " + n(0x1p1023) + ")";
  return "CASE WHEN " + within_both + " THEN $a / $b WHEN abs($b) < 1 AND $b <> 0 AND $a <> 0 AND abs($a) < " + inf +
         " THEN CASE WHEN abs($a) >= " + d +
         " * 2 THEN " + signed_inf + " WHEN abs($a) < abs($b) * " + n(0x1p1021) + " THEN $a / $b WHEN abs($a) / " + d +
         " >= 2 THEN " + signed_inf + " ELSE $a / $b END WHEN abs($a) < 1 AND $a <> 0 AND abs($b) > 1 AND abs($b) < " +
         inf + " THEN CASE WHEN abs($a) * " + n(0x1p537) + " <= abs($b) * " + n(0x1p-538) + " THEN " + zero +
         " ELSE $a / $b END ELSE $a / $b END";
}

}  // namespace

std::string raw_operation(OpCode op, bool guarded, const SqlHelpers& helpers) {
  switch (op) {
    case OpCode::ADD: return guarded ? postgresql_arithmetic(op, helpers) : "($a + $b)";
    case OpCode::SUB: return guarded ? postgresql_arithmetic(op, helpers) : "($a - $b)";
    case OpCode::MUL: return guarded ? postgresql_arithmetic(op, helpers) : "($a * $b)";
    case OpCode::DIV: return guarded ? postgresql_arithmetic(op, helpers) : "($a / $b)";
    case OpCode::POW: return guarded ? postgresql_pow(helpers) : "pow(abs($a), $b)";
    // DuckDB's round is C's; PostgreSQL's takes halfway cases to even.
    case OpCode::ROUND:
      return guarded ? "CASE WHEN $a = $NAN OR abs($a) = $INF THEN $a WHEN abs($a - trunc($a)) >= 0.5 THEN trunc($a) + "
                       "CASE WHEN $a > 0 THEN 1 ELSE -1 END ELSE trunc($a) END"
                     : "round($a)";
    case OpCode::EXP: {
      if (!guarded) return "exp($a)";
      const auto n = postgresql_number;
      return "CASE WHEN $a = " + n(NAN) + " THEN $a WHEN $a > " + n(exp_finite_up_to()) + " THEN " + n(INFINITE) +
             " WHEN $a < " + n(exp_above_zero_from()) + " THEN " + n(0) + " ELSE exp($a) END";
    }
    default: return "";  // the form does not name it
  }
}

std::string SqlHelpers::name(std::string_view what) const {
  const std::string own = prefix + std::string(what);
  return temporary ? "pg_temp." + own : schema + sql_identifier(own);
}


}  // namespace karva
