// The operators: every function symbol a gene may hold, with its arity, its
// arithmetic, and how formulas, the legend, generated C, Python and SQL, an
// ONNX graph, LaTeX and a spreadsheet's formulas spell it. Trees, compiled programs, formulas and every emitter derive
// from this one table, so a new operator is one row here and its
// evaluation in model/eval.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <utility>

#include "model/eval.h"

namespace karva {

// In table order: the code of a row is its index.
enum class OpCode : std::uint8_t { ADD, MUL, SUB, DIV, POW, ABS, COS, CUBE_ROOT, EXP, LOG, SQRT, ROUND, SIN };

// How tightly an operator binds in a formula; a call binds tightest.
enum class Binding : std::uint8_t { SUM, PRODUCT, POWER, CALL };

// The constants the texts of the rows below name, by their placeholders.
struct NamedConstant {
  std::string_view placeholder;
  double value;
};
inline constexpr std::array<NamedConstant, 8> OPERATOR_CONSTANTS = {{
    {"$POSITIVE", DIV_ZERO_POSITIVE},
    {"$NEGATIVE", DIV_ZERO_NEGATIVE},
    {"$OTHER", DIV_ZERO_OTHER},
    {"$THIRD", ONE_THIRD},
    {"$NAN", std::numeric_limits<double>::quiet_NaN()},
    {"$INF", std::numeric_limits<double>::infinity()},
    {"$EXP_TOP", EXP_FINITE_UP_TO},
    {"$EXP_BOTTOM", EXP_ABOVE_ZERO_FROM},
}};

// The texts of an operator's row may name the protected operators'
// constants as $POSITIVE, $NEGATIVE, $OTHER and $THIRD, NaN and infinity as
// $NAN and $INF, and exp's limits as $EXP_TOP and $EXP_BOTTOM, which each
// language writes as its own literal; SQL forms name the operands $a and $b.
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
  std::string_view c_helper;       // the C function, when there is a helper
  std::string_view python_helper;  // the Python function: math raises where C returns a value
  // SQLite: NULL is NaN, and each form gives C's result for NaN, zeros and
  // infinities where SQLite's own function would not. Operands are column
  // names or constants, so that none is computed twice.
  std::string_view sql;
  // Engines that hold NaN as a value (PostgreSQL, DuckDB): NaN equals NaN
  // and sorts above every number there, so a form asks `= $NAN` before any
  // other comparison; $RAW is the operation itself, which
  // each engine writes its own way: with the guards it needs to give C's
  // value where it would raise an error instead, or with its own function
  // where that is C's.
  std::string_view sql_ieee;
  std::string_view legend;  // what --explain says of it, when the formula alone does not tell
  // $RAW in an engine whose operations are IEEE's (DuckDB), and in one that
  // raises an error where C gives a value (PostgreSQL), guarded so that the
  // row gets C's value. Numbers are $(C literal), each engine writing its
  // own; $F_name calls the helper function `name` created before the
  // statement.
  std::string_view sql_raw = "";
  std::string_view sql_guarded = "";
  // ONNX: an expression of the default domain's operators (Name(x, y)),
  // after `name = expression;` definitions local to the form; the same
  // subexpression is computed once.
  std::string_view onnx = "";
  // LaTeX (amsmath): the operation as a formula shows it, its operands in
  // place of $a and $b; an operator whose form is not ordinary mathematics
  // is a function with its definition, an align line, written out below
  // the formulas.
  std::string_view latex = "";
  std::string_view latex_definition = "";
  // A spreadsheet formula of functions that Excel and LibreOffice both
  // have; an error (a value out of range, a division by zero) where C gives
  // an infinity or NaN.
  std::string_view spreadsheet = "";
};

// sin and cos of x from those of r = x - k * pi/2, with k = x * 2/pi
// rounded and q = k mod 4 telling which, for |x| <= 2^33; beyond that (and
// for infinities) the runtime's own kernels. pi/2 is split into seven parts
// of 20 bits and an eighth, so that each k * part is exact and each step's
// difference is exact where the steps cancel. sin and cos of r, |r| about
// pi/4 at most, are fdlibm's polynomials (as in FreeBSD's k_sin.c and
// k_cos.c) in exact operations of IEEE doubles, the same bits on every
// runtime: its kernels are worse by up to two units in the last place.
#define KARVA_ONNX_SIN_COS                                                                                     \
  "k = Round(Mul($a, $(0x1.45f306dc9c883p-1))); "                                                              \
  "r = Sub(Sub(Sub(Sub(Sub(Sub(Sub(Sub($a, Mul(k, $(0x1.921fap+0))), Mul(k, $(0x1.54442p-20))), "              \
  "Mul(k, $(0x1.a308cp-41))), Mul(k, $(0x1.31318p-61))), Mul(k, $(0x1.8a2ep-81))), "                           \
  "Mul(k, $(0x1.b839ap-104))), Mul(k, $(0x1.29024p-127))), Mul(k, $(0x1.c1114cf98e804p-148))); "              \
  "q = Sub(k, Mul(Floor(Mul(k, $(0.25))), $(4))); "                                                            \
  "far = Greater(Abs($a), $(0x1p+33)); "                                                                       \
  "z = Mul(r, r); w = Mul(z, z); "                                                                             \
  "sp = Add(Add($(0x1.111111110f8a6p-7), Mul(z, Add($(-0x1.a01a019c161d5p-13), Mul(z, $(0x1.71de357b1fe7dp-19))))), " \
  "Mul(Mul(z, w), Add($(-0x1.ae5e68a2b9cebp-26), Mul(z, $(0x1.5d93a5acfd57cp-33))))); "                         \
  "s = Add(r, Mul(Mul(z, r), Add($(-0x1.5555555555549p-3), Mul(z, sp)))); "                                    \
  "cp = Add(Mul(z, Add($(0x1.555555555554cp-5), Mul(z, Add($(-0x1.6c16c16c15177p-10), "                         \
  "Mul(z, $(0x1.a01a019cb1590p-16)))))), Mul(Mul(w, w), Add($(-0x1.27e4f809c52adp-22), "                        \
  "Mul(z, Add($(0x1.1ee9ebdb4b1c4p-29), Mul(z, $(-0x1.8fae9be8838d4p-37))))))); "                               \
  "h = Sub($(1), Mul($(0.5), z)); "                                                                            \
  "c = Add(h, Add(Sub(Sub($(1), h), Mul($(0.5), z)), Mul(z, cp))); "

inline constexpr std::array<Operator, 13> OPERATORS = {{
    {'+', OpCode::ADD, 2, "+", Binding::SUM, "", eval::add, "", "", "($a + $b)", "$RAW", "",
     "($a + $b)",
     "CASE WHEN abs($a) < $(0x1p+1022) AND abs($b) < $(0x1p+1022) THEN $a + $b WHEN abs($a) > 1 AND "
     "abs($b) > 1 AND abs($a) < $INF AND abs($b) < $INF THEN CASE WHEN abs($a * $(0.5) + $b * $(0.5)) >= "
     "$(0x1p+1023) THEN CASE WHEN $a > 0 THEN $INF ELSE -$INF END ELSE $a + $b END ELSE $a + $b END",
     "Add($a, $b)",
     "$a + $b", "",
     "($a+$b)"},
    {'*', OpCode::MUL, 2, "*", Binding::PRODUCT, "", eval::mul, "", "", "($a * $b)", "$RAW", "",
     "($a * $b)",
     "CASE WHEN abs($a) >= $(0x1p-511) AND abs($a) <= $(0x1p+511) AND abs($b) >= $(0x1p-511) AND abs($b) "
     "<= $(0x1p+511) THEN $a * $b WHEN abs($a) > 1 AND abs($b) > 1 AND abs($a) < $INF AND abs($b) < $INF "
     "THEN CASE WHEN abs($a) >= $(0x1p+512) AND abs($b) >= $(0x1p+512) THEN CASE WHEN ($a > 0) = ($b > 0) "
     "THEN $INF ELSE -$INF END WHEN (abs($a) * $(0x1p-512)) * (abs($b) * $(0x1p-512)) >= 1 THEN CASE WHEN "
     "($a > 0) = ($b > 0) THEN $INF ELSE -$INF END ELSE $a * $b END WHEN abs($a) < 1 AND abs($b) < 1 AND "
     "$a <> 0 AND $b <> 0 AND (abs($a) < $(0x1p-537) OR abs($b) < $(0x1p-537)) THEN CASE WHEN (abs($a) * "
     "$(0x1p+537)) * (abs($b) * $(0x1p+537)) < $(0.5) THEN $(0) WHEN (abs($a) * $(0x1p+537)) * (abs($b) * "
     "$(0x1p+537)) = $(0.5) THEN $F_multiply($a, $b, $(0)) ELSE $a * $b END ELSE $a * $b END",
     "Mul($a, $b)",
     "$a \\cdot $b", "",
     "($a*$b)"},
    {'-', OpCode::SUB, 2, "-", Binding::SUM, "", eval::sub, "", "", "($a - $b)", "$RAW", "",
     "($a - $b)",
     "CASE WHEN abs($a) < $(0x1p+1022) AND abs($b) < $(0x1p+1022) THEN $a - $b WHEN abs($a) > 1 AND "
     "abs($b) > 1 AND abs($a) < $INF AND abs($b) < $INF THEN CASE WHEN abs($a * $(0.5) - $b * $(0.5)) >= "
     "$(0x1p+1023) THEN CASE WHEN $a > 0 THEN $INF ELSE -$INF END ELSE $a - $b END ELSE $a - $b END",
     "Sub($a, $b)",
     "$a - $b", "",
     "($a-$b)"},
    {'/', OpCode::DIV, 2, "/", Binding::PRODUCT, "div", eval::div,
     "static double karva_div(double x, double y) {\n"
     "  if (y == 0.0) return x > 0.0 ? $POSITIVE : (x < 0.0 ? $NEGATIVE : $OTHER);\n"
     "  return x / y;\n"
     "}\n",
     "def karva_div(x, y):\n"
     "    if y == 0.0:\n"
     "        return $POSITIVE if x > 0.0 else ($NEGATIVE if x < 0.0 else $OTHER)\n"
     "    return x / y\n",
     "CASE WHEN $b = 0 THEN CASE WHEN $a > 0 THEN $POSITIVE WHEN $a < 0 THEN $NEGATIVE ELSE $OTHER END "
     "ELSE $a / $b END",
     "CASE WHEN $b = 0 THEN CASE WHEN $a = $NAN THEN $OTHER WHEN $a > 0 THEN $POSITIVE WHEN $a < 0 THEN $NEGATIVE "
     "ELSE $OTHER END ELSE $RAW END",
     "x / y is x divided by y, but $POSITIVE when y is 0 and x > 0, $NEGATIVE when y is 0 and x < 0, and $OTHER "
     "when y is 0 and x is 0 or NaN.",
     "($a / $b)",
     "CASE WHEN abs($a) >= $(0x1p-511) AND abs($a) <= $(0x1p+511) AND abs($b) >= $(0x1p-511) AND abs($b) "
     "<= $(0x1p+511) THEN $a / $b WHEN abs($b) < 1 AND $b <> 0 AND $a <> 0 AND abs($a) < $INF THEN CASE "
     "WHEN abs($a) >= (abs($b) * $(0x1p+1023)) * 2 THEN CASE WHEN ($a > 0) = ($b > 0) THEN $INF ELSE "
     "-$INF END WHEN abs($a) < abs($b) * $(0x1p+1021) THEN $a / $b WHEN abs($a) / (abs($b) * "
     "$(0x1p+1023)) >= 2 THEN CASE WHEN ($a > 0) = ($b > 0) THEN $INF ELSE -$INF END ELSE $a / $b END "
     "WHEN abs($a) < 1 AND $a <> 0 AND abs($b) > 1 AND abs($b) < $INF THEN CASE WHEN abs($a) * "
     "$(0x1p+537) <= abs($b) * $(0x1p-538) THEN $(0) ELSE $a / $b END ELSE $a / $b END",
     "Where(Equal($b, $(0)), Where(Greater($a, $(0)), $POSITIVE, Where(Less($a, $(0)), $NEGATIVE, $OTHER)), "
     "Div($a, $b))",
     "\\operatorname{div}($a, $b)",
     "\\operatorname{div}(x, y) &= \\begin{cases} x / y & \\text{if } y \\neq 0, \\\\ $POSITIVE & \\text{if } y = 0 "
     "\\text{ and } x > 0, \\\\ $NEGATIVE & \\text{if } y = 0 \\text{ and } x < 0, \\\\ $OTHER & \\text{otherwise} "
     "\\end{cases}",
     "IF($b=0,IF($a>0,$POSITIVE,IF($a<0,$NEGATIVE,$OTHER)),$a/$b)"},
    {'^', OpCode::POW, 2, "^", Binding::POWER, "pow", eval::power,
     "static double karva_pow(double x, double y) { return pow(fabs(x), y); }\n",
     "def karva_pow(x, y):\n"
     "    try:\n"
     "        return math.pow(abs(x), y)\n"
     "    except OverflowError:\n"
     "        return math.inf\n"
     "    except ValueError:  # 0 to a negative power\n"
     "        return math.inf\n",
     "CASE WHEN $b = 0 THEN 1e0 WHEN abs($a) = 1 THEN 1e0 ELSE pow((abs($a) + 0e0), $b) END",
     "CASE WHEN $b = 0 OR abs($a) = 1 THEN 1 WHEN $a = 0 AND $b < 0 THEN $INF ELSE $RAW END",
     "x ^ y is pow(abs(x), y): the sign of x is dropped.",
     "pow(abs($a), $b)",
     // Beyond ln 2^1024 and ln 2^-1075 (give or take 2^-20), pow leaves the range.
     "CASE WHEN abs($a) >= $(0x1p-16) AND abs($a) <= $(0x1p+16) AND abs($b) <= 60 THEN power(abs($a), $b) "
     "WHEN abs($a) = 0 OR abs($a) = $NAN OR abs($a) = $INF OR $b = $NAN OR abs($b) = $INF OR abs($b) < "
     "$(0x1p-100) THEN power(abs($a), $b) WHEN abs($b) > $(0x1p+64) THEN CASE WHEN ($b > 0) = (abs($a) > "
     "1) THEN $INF ELSE $(0) END ELSE CASE WHEN ($b * ln(abs($a))) > $(0x1.62e42ff7a39efp+9) THEN $INF "
     "WHEN ($b * ln(abs($a))) < $(-0x1.74910d5ad3052p+9) THEN $(0) WHEN ($b * ln(abs($a))) > "
     "$(0x1.62e42fe7a39efp+9) OR ($b * ln(abs($a))) < $(-0x1.74910d4ad3052p+9) THEN $F_power(abs($a), $b, "
     "CASE WHEN ($b * ln(abs($a))) > 0 THEN $INF ELSE $(0) END) ELSE power(abs($a), $b) END END",
     "Pow(Abs($a), $b)",
     "\\lvert $a \\rvert^{$b}", "",
     "IF($b=0,1,POWER(ABS($a),$b))"},
    {'A', OpCode::ABS, 1, "abs", Binding::CALL, "abs", eval::abs,
     "static double karva_abs(double x) { return fabs(x); }\n",
     "def karva_abs(x):\n"
     "    return abs(x)\n",
     // SQLite's abs keeps -0.0; adding +0.0 makes it +0.0, as fabs does.
     "(abs($a) + 0e0)",
     "abs($a)", "", "", "", "Abs($a)",
     "\\lvert $a \\rvert", "",
     "ABS($a)"},
    {'C', OpCode::COS, 1, "cos", Binding::CALL, "cos", eval::cos,
     "static double karva_cos(double x) { return cos(x); }\n",
     "def karva_cos(x):\n"
     "    try:\n"
     "        return math.cos(x)\n"
     "    except ValueError:  # an infinity\n"
     "        return math.nan\n",
     "cos($a)",
     "CASE WHEN abs($a) = $INF THEN $NAN ELSE cos($a) END", "", "", "",
     KARVA_ONNX_SIN_COS
     "Where(far, Cos($a), Where(Equal(q, $(0)), c, Where(Equal(q, $(1)), Neg(s), Where(Equal(q, $(2)), Neg(c), s))))",
     "\\cos($a)", "",
     "COS($a)"},
    {'D', OpCode::CUBE_ROOT, 1, "cbrt", Binding::CALL, "cbrt", eval::cube_root,
     "static double karva_cbrt(double x) {\n"
     "  double sign = (double)((x > 0.0) - (x < 0.0));\n"
     "  return sign * pow(fabs(x), $THIRD);\n"
     "}\n",
     "def karva_cbrt(x):\n"
     "    sign = float((x > 0.0) - (x < 0.0))\n"
     "    return sign * math.pow(abs(x), $THIRD)\n",
     "CASE WHEN $a > 0 THEN pow($a, $THIRD) WHEN $a < 0 THEN -pow(-$a, $THIRD) WHEN $a = 0 THEN 0e0 END",
     "CASE WHEN $a = $NAN THEN $a WHEN $a > 0 THEN power($a, $THIRD) WHEN $a < 0 THEN -power(-$a, $THIRD) ELSE $a + 0 END",
     "cbrt(x) keeps the sign of x: sign(x) * pow(abs(x), $THIRD).", "", "",
     // The sign as C computes it: +0 for both zeros and for NaN.
     "Mul(Where(Greater($a, $(0)), $(1), Where(Less($a, $(0)), $(-1), $(0))), Pow(Abs($a), $THIRD))",
     "\\operatorname{cbrt}($a)",
     "\\operatorname{cbrt}(x) &= \\operatorname{sgn}(x) \\, \\lvert x \\rvert^{$THIRD}",
     "(SIGN($a)*POWER(ABS($a),$THIRD))"},
    {'E', OpCode::EXP, 1, "exp", Binding::CALL, "exp", eval::exp,
     "static double karva_exp(double x) { return exp(x); }\n",
     "def karva_exp(x):\n"
     "    try:\n"
     "        return math.exp(x)\n"
     "    except OverflowError:\n"
     "        return math.inf\n",
     "exp($a)",
     "$RAW", "",
     "exp($a)",
     "CASE WHEN $a = $NAN THEN $a WHEN $a > $EXP_TOP THEN $INF WHEN $a < $EXP_BOTTOM THEN $(0) ELSE "
     "exp($a) END",
     "Exp($a)",
     "\\exp($a)", "",
     "EXP($a)"},
    {'L', OpCode::LOG, 1, "log", Binding::CALL, "log", eval::log,
     "static double karva_log(double x) { return log(fabs(x)); }\n",
     "def karva_log(x):\n"
     "    x = abs(x)\n"
     "    if x == 0.0:\n"
     "        return -math.inf\n"
     "    return math.log(x)\n",
     "CASE WHEN $a = 0 THEN -9e999 ELSE ln((abs($a) + 0e0)) END",
     "CASE WHEN $a = 0 THEN -$INF ELSE ln(abs($a)) END",
     "log(x) is the natural logarithm of abs(x).", "", "", "Log(Abs($a))",
     "\\ln \\lvert $a \\rvert", "",
     "LN(ABS($a))"},
    {'Q', OpCode::SQRT, 1, "sqrt", Binding::CALL, "sqrt", eval::sqrt,
     "static double karva_sqrt(double x) { return sqrt(fabs(x)); }\n",
     "def karva_sqrt(x):\n"
     "    return math.sqrt(abs(x))\n",
     "sqrt((abs($a) + 0e0))",
     "sqrt(abs($a))",
     "sqrt(x) is the square root of abs(x).", "", "", "Sqrt(Abs($a))",
     "\\sqrt{\\lvert $a \\rvert}", "",
     "SQRT(ABS($a))"},
    {'R', OpCode::ROUND, 1, "round", Binding::CALL, "round", eval::round,
     "static double karva_round(double x) { return round(x); }\n",
     "def karva_round(x):\n"
     "    # Halfway cases away from zero, as C's round; x - r is exact.\n"
     "    if not math.isfinite(x):\n"
     "        return x\n"
     "    r = float(math.trunc(x))\n"
     "    if abs(x - r) >= 0.5:\n"
     "        r += math.copysign(1.0, x)\n"
     "    return math.copysign(r, x)\n",
     // Halfway cases away from zero; x - trunc(x) is exact.
     "CASE WHEN abs($a - trunc($a)) >= 0.5e0 THEN trunc($a) + CASE WHEN $a > 0 THEN 1e0 ELSE -1e0 END "
     "ELSE trunc($a) END",
     "$RAW",
     "round(x) takes halfway cases away from zero.",
     // DuckDB's round is C's; PostgreSQL's takes halfway cases to even.
     "round($a)",
     "CASE WHEN $a = $NAN OR abs($a) = $INF THEN $a WHEN abs($a - trunc($a)) >= 0.5 THEN trunc($a) + CASE "
     "WHEN $a > 0 THEN 1 ELSE -1 END ELSE trunc($a) END",
     // Floor, the difference and t + 1 are exact below 2^52; from there,
     // and for zeros (their signs), NaN and infinities, x itself.
     "t = Floor(Abs($a)); r = Where(GreaterOrEqual(Sub(Abs($a), t), $(0.5)), Add(t, $(1)), t); "
     "Where(Less(Abs($a), $(0x1p+52)), Where(Less($a, $(0)), Neg(r), Where(Greater($a, $(0)), r, $a)), $a)",
     "\\operatorname{round}($a)",
     "\\operatorname{round}(x) &= \\operatorname{sgn}(x) \\, \\lfloor \\lvert x \\rvert + 1/2 \\rfloor",
     "ROUND($a,0)"},
    {'S', OpCode::SIN, 1, "sin", Binding::CALL, "sin", eval::sin,
     "static double karva_sin(double x) { return sin(x); }\n",
     "def karva_sin(x):\n"
     "    try:\n"
     "        return math.sin(x)\n"
     "    except ValueError:  # an infinity\n"
     "        return math.nan\n",
     "sin($a)",
     "CASE WHEN abs($a) = $INF THEN $NAN ELSE sin($a) END", "", "", "",
     // Zeros keep their sign.
     KARVA_ONNX_SIN_COS
     "Where(far, Sin($a), Where(Equal($a, $(0)), $a, Where(Equal(q, $(0)), s, Where(Equal(q, $(1)), c, "
     "Where(Equal(q, $(2)), Neg(s), Neg(c))))))",
     "\\sin($a)", "",
     "SIN($a)"},
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
