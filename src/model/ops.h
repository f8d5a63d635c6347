// The operators: every function symbol a gene may hold, with its arity, its
// arithmetic, and how formulas and generated code spell it. Trees, compiled
// programs, formulas and every emitter derive from this one table, so a new
// operator is one row here and its evaluation below.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

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

// In table order: the code of a row is its index.
enum class OpCode : std::uint8_t { ADD, MUL, SUB, DIV, POW, ABS, COS, CUBE_ROOT, EXP, LOG, SQRT, ROUND, SIN };

// How tightly an operator binds in a formula; a call binds tightest.
enum class Binding : std::uint8_t { SUM, PRODUCT, POWER, CALL };

struct Operator {
  unsigned char symbol;
  OpCode code;
  int arity;  // 1 or 2
  // In formulas: the infix sign, or the function's name.
  std::string_view name;
  Binding binding;
  // Generated code calls a helper of this name (after a prefix of its own),
  // or, when empty, uses the language's own infix sign, which gives the
  // same bits.
  std::string_view helper;
  double (*evaluate)(double x, double y);
};

inline constexpr std::array<Operator, 13> OPERATORS = {{
    {'+', OpCode::ADD, 2, "+", Binding::SUM, "", eval::add},
    {'*', OpCode::MUL, 2, "*", Binding::PRODUCT, "", eval::mul},
    {'-', OpCode::SUB, 2, "-", Binding::SUM, "", eval::sub},
    {'/', OpCode::DIV, 2, "/", Binding::PRODUCT, "div", eval::div},
    {'^', OpCode::POW, 2, "^", Binding::POWER, "pow", eval::power},
    {'A', OpCode::ABS, 1, "abs", Binding::CALL, "abs", eval::abs},
    {'C', OpCode::COS, 1, "cos", Binding::CALL, "cos", eval::cos},
    {'D', OpCode::CUBE_ROOT, 1, "cbrt", Binding::CALL, "cbrt", eval::cube_root},
    {'E', OpCode::EXP, 1, "exp", Binding::CALL, "exp", eval::exp},
    {'L', OpCode::LOG, 1, "log", Binding::CALL, "log", eval::log},
    {'Q', OpCode::SQRT, 1, "sqrt", Binding::CALL, "sqrt", eval::sqrt},
    {'R', OpCode::ROUND, 1, "round", Binding::CALL, "round", eval::round},
    {'S', OpCode::SIN, 1, "sin", Binding::CALL, "sin", eval::sin},
}};

inline constexpr std::size_t OPERATOR_COUNT = OPERATORS.size();

constexpr const Operator& operator_info(OpCode code) { return OPERATORS[static_cast<std::size_t>(code)]; }

namespace detail {

constexpr bool codes_are_indexes() {
  for (std::size_t i = 0; i < OPERATOR_COUNT; ++i)
    if (static_cast<std::size_t>(OPERATORS[i].code) != i) return false;
  return true;
}
static_assert(codes_are_indexes(), "an operator's code is its row in the table");

// The symbols of the operators of `arity` (0: all), in table order.
template <int ARITY>
inline constexpr auto SYMBOLS = [] {
  constexpr std::size_t n = [] {
    std::size_t count = 0;
    for (const Operator& op : OPERATORS) count += ARITY == 0 || op.arity == ARITY;
    return count;
  }();
  std::array<char, n> symbols{};
  std::size_t i = 0;
  for (const Operator& op : OPERATORS)
    if (ARITY == 0 || op.arity == ARITY) symbols[i++] = static_cast<char>(op.symbol);
  return symbols;
}();

}  // namespace detail

// The symbol sets of tree construction, and every symbol with an operation.
inline constexpr std::string_view UNARY_FUNCTIONS{detail::SYMBOLS<1>.data(), detail::SYMBOLS<1>.size()};
inline constexpr std::string_view BINARY_OPERATORS{detail::SYMBOLS<2>.data(), detail::SYMBOLS<2>.size()};
inline constexpr std::string_view OPERATOR_SYMBOLS{detail::SYMBOLS<0>.data(), detail::SYMBOLS<0>.size()};
static_assert(UNARY_FUNCTIONS == "ACDELQRS" && BINARY_OPERATORS == "+*-/^");

// The operator a symbol stands for; nothing for a symbol with no operation.
constexpr const Operator* operator_of(unsigned char symbol) {
  for (const Operator& op : OPERATORS)
    if (op.symbol == symbol) return &op;
  return nullptr;
}

// Calls `f` with the operator `code` as a compile-time constant
// (std::integral_constant<OpCode, ...>), so that a loop in `f` is compiled
// once per operator with its evaluation inlined.
template <typename F>
void with_operator(OpCode code, F&& f) {
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (void)((code == static_cast<OpCode>(I) ? (f(std::integral_constant<OpCode, static_cast<OpCode>(I)>{}), true)
                                           : false) ||
           ...);
  }(std::make_index_sequence<OPERATOR_COUNT>{});
}

}  // namespace karva
