// The operators' arithmetic: what each computes, as C computes it, and the
// constants of the protected ones. The table in model/ops.h names these.
#pragma once

#include <cmath>

namespace karva {

// The protected operators' constants. What x / 0 gives: a positive x gives
// 2^32 - 1 (finite, not infinity), a negative x gives plus one, zero and NaN
// give zero.
inline constexpr double DIV_ZERO_POSITIVE = 4294967295.0;
inline constexpr double DIV_ZERO_NEGATIVE = 1.0;
inline constexpr double DIV_ZERO_OTHER = 0.0;

// The double nearest to one third (0x3FD5555555555555): the cube root goes
// through pow with this exponent, not through cbrt.
inline constexpr double ONE_THIRD = 0.3333333333333333;

// Where exp leaves the double range, as glibc's exp has it (a test holds
// them to this platform's): the largest x with a finite exp, and the
// smallest with one above zero.
inline constexpr double EXP_FINITE_UP_TO = 0x1.62e42fefa39efp+9;
inline constexpr double EXP_ABOVE_ZERO_FROM = -0x1.74910d52d3051p+9;

namespace eval {

// Every evaluation takes two operands; a unary one ignores the second.
inline double add(double x, double y) { return x + y; }
inline double sub(double x, double y) { return x - y; }
inline double mul(double x, double y) { return x * y; }

inline double div(double x, double y) {
  // Both sides are computed so that the compiler can select without a branch.
  const double zero_case = x > 0.0 ? DIV_ZERO_POSITIVE : (x < 0.0 ? DIV_ZERO_NEGATIVE : DIV_ZERO_OTHER);
  const double q = x / y;
  return y == 0.0 ? zero_case : q;
}

// The sign of the base is dropped.
inline double power(double x, double y) { return std::pow(std::fabs(x), y); }
inline double abs(double x, double) { return std::fabs(x); }
inline double cos(double x, double) { return std::cos(x); }

// A cube root that keeps the sign of x; zero and NaN keep theirs through the
// factor, which is 0 for both.
inline double cube_root(double x, double) {
  const double sign = static_cast<double>((x > 0.0) - (x < 0.0));
  return sign * std::pow(std::fabs(x), ONE_THIRD);
}

inline double exp(double x, double) { return std::exp(x); }
inline double log(double x, double) { return std::log(std::fabs(x)); }
inline double sqrt(double x, double) { return std::sqrt(std::fabs(x)); }
inline double round(double x, double) { return std::round(x); }
inline double sin(double x, double) { return std::sin(x); }

}  // namespace eval

}  // namespace karva
