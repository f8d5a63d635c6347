#include "render/emit_sql.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <optional>
#include <numbers>

#include "model/ops.h"
#include "render/explain.h"
#include "render/operator_text.h"
#include "text/escape.h"
#include "text/number.h"

namespace karva {
namespace {

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

// A double as a typed literal that PostgreSQL (whose float8 input is
// strtod) and DuckDB (whose reading is correctly rounded too) read back as
// the same double: the shortest text that reads back so.
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
std::string postgresql_number(double v) { return typed_number(v, "float8"); }
std::string duckdb_number(double v) { return typed_number(v, "DOUBLE"); }

constexpr double INFINITE = std::numeric_limits<double>::infinity();

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
std::string postgresql_pow() {
  const auto n = postgresql_number;
  const std::string x = "abs($a)";
  const std::string inf = n(INFINITE);
  const std::string t = "($b * ln(" + x + "))";
  const double top = 1024 * std::numbers::ln2;      // ln 2^1024: past it, pow overflows
  const double bottom = -1075 * std::numbers::ln2;  // ln 2^-1075: below it, pow is zero
  constexpr double MARGIN = 0x1p-20;
  const std::string edge = "pg_temp.karva_power(" + x + ", $b, CASE WHEN " + t + " > 0 THEN " + inf + " ELSE " + n(0) + " END)";
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
std::string postgresql_arithmetic(OpCode op) {
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
           zero + " WHEN " + scaled + " = " + n(0.5) + " THEN pg_temp.karva_multiply($a, $b, " + zero +
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

// The operation itself ($RAW of an operator's form) in an engine that holds
// NaN: DuckDB's arithmetic, exp and pow are IEEE's; PostgreSQL's are guarded.
std::string raw_operation(SqlEngine engine, OpCode op) {
  const bool guarded = engine == SqlEngine::POSTGRESQL;
  switch (op) {
    case OpCode::ADD: return guarded ? postgresql_arithmetic(op) : "($a + $b)";
    case OpCode::SUB: return guarded ? postgresql_arithmetic(op) : "($a - $b)";
    case OpCode::MUL: return guarded ? postgresql_arithmetic(op) : "($a * $b)";
    case OpCode::DIV: return guarded ? postgresql_arithmetic(op) : "($a / $b)";
    case OpCode::POW: return guarded ? postgresql_pow() : "pow(abs($a), $b)";
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

// A double as a literal of the engine.
std::string engine_number(SqlEngine engine, double v) {
  switch (engine) {
    case SqlEngine::SQLITE: return sql_number(v);
    case SqlEngine::POSTGRESQL: return postgresql_number(v);
    case SqlEngine::DUCKDB: return duckdb_number(v);
  }
  return "";
}

// One operation as SQL of the engine over its operands.
std::string sql_operation(SqlEngine engine, OpCode op, const std::string& a, const std::string& b) {
  if (engine == SqlEngine::SQLITE) return operator_text(operator_info(op).sql, sql_number, a, b);
  // $RAW, where a form names it, stands once for the whole form or one branch of it.
  std::string form(operator_info(op).sql_ieee);
  if (const std::size_t raw = form.find("$RAW"); raw != std::string::npos)
    form.replace(raw, std::string_view("$RAW").size(), raw_operation(engine, op));
  return operator_text(form, [engine](double v) { return engine_number(engine, v); }, a, b);
}

// A value the statement computes, as a column of one step.
struct Value {
  std::string name;
  std::string sql;  // over the names of earlier steps
  int step = 0;
  int last_use = 0;
};

// The key's values, step by step: each step computes what depends only on
// earlier steps, so that every expression reads its operands as columns.
// SQLite would otherwise substitute a step into the next and compute an
// operand as often as it is named.
class Steps {
 public:
  // A column of the source is step 0; everything computed is step 1 or later.
  int add_source(std::string name) {
    values_.push_back({name, name, 0, 0});
    return static_cast<int>(values_.size()) - 1;
  }
  int add(std::string name, std::string sql, const std::vector<int>& operands) {
    int step = 1;
    for (int o : operands) step = std::max(step, values_[static_cast<std::size_t>(o)].step + 1);
    for (int o : operands) {
      Value& used = values_[static_cast<std::size_t>(o)];
      used.last_use = std::max(used.last_use, step);
    }
    values_.push_back({std::move(name), std::move(sql), step, step});
    return static_cast<int>(values_.size()) - 1;
  }
  const std::string& name(int v) const { return values_[static_cast<std::size_t>(v)].name; }
  void keep_to_the_end(int v) { values_[static_cast<std::size_t>(v)].last_use = std::numeric_limits<int>::max(); }

  // The common table expressions, one a step, and the last step's number.
  std::string ctes(int* last) const {
    int steps = 0;
    for (const Value& v : values_) steps = std::max(steps, v.step);
    std::string text;
    for (int k = 1; k <= steps; ++k) {
      // What this step computes, and what later steps read of earlier ones.
      std::string columns;
      for (const Value& v : values_) {
        if (v.step == k) columns += (columns.empty() ? "" : ", ") + v.sql + " AS " + v.name;
        else if (v.step < k && v.last_use > k) columns += (columns.empty() ? "" : ", ") + v.name;
      }
      text += ",\n" + step_name(k) + " AS MATERIALIZED (SELECT " + columns + " FROM " + step_name(k - 1) + ")";
    }
    *last = steps;
    return text + "\n";
  }
  static std::string step_name(int k) { return k == 0 ? "karva_source" : "karva_step" + std::to_string(k); }

 private:
  std::vector<Value> values_;
};

// The names of a table's schema (when given) and its own, as `schema.table` gives them.
std::vector<std::string> table_name_parts(const std::string& table) {
  std::vector<std::string> parts;
  for (std::size_t start = 0;;) {
    const std::size_t dot = table.find('.', start);
    parts.push_back(table.substr(start, dot - start));
    if (dot == std::string::npos) return parts;
    start = dot + 1;
  }
}

std::string quoted_table(const std::string& table) {
  std::string quoted;
  for (const std::string& part : table_name_parts(table)) quoted += (quoted.empty() ? "" : ".") + sql_identifier(part);
  return quoted;
}

// The scored table's name inside the statement. Columns are named through
// it, so that a column the table does not have is an error ("no such
// column"), never a string constant, as a lone double-quoted name can be.
constexpr const char* TABLE_ALIAS = "karva_input";
std::string in_table(const std::string& column) { return std::string(TABLE_ALIAS) + "." + sql_identifier(column); }

// A column's value as SQLite's REAL: numbers as they are (whole numbers
// too, so that they never take integer arithmetic), text only when it is a
// number as SQLite reads it; the empty or NA text that a CSV import stores,
// and anything else, is NULL, a missing value.
std::string sqlite_input(const std::string& column) {
  const std::string text = "trim(" + column + ")";
  const std::string is_text = "typeof(" + column + ") = 'text' AND ";
  return "CASE WHEN typeof(" + column + ") IN ('integer', 'real') THEN CAST(" + column + " AS REAL) WHEN " + is_text +
         text + " GLOB '*[0-9]*' AND " + text + " NOT GLOB '*[^0-9.eE+-]*' THEN CAST(" + text + " AS REAL) WHEN " +
         is_text + "lower(" + text + ") IN ('inf', '+inf', 'infinity', '+infinity') THEN 9e999 WHEN " + is_text +
         "lower(" + text + ") IN ('-inf', '-infinity') THEN -9e999 END";
}

// A column's value as the engine's double. DuckDB's TRY_CAST makes text
// that is not a number NULL, a missing value; PostgreSQL casts numbers of
// every type exactly or correctly rounded.
std::string input_value(SqlEngine engine, const std::string& column) {
  switch (engine) {
    case SqlEngine::SQLITE: return sqlite_input(column);
    case SqlEngine::POSTGRESQL: return "CAST(" + column + " AS double precision)";
    case SqlEngine::DUCKDB: return "TRY_CAST(" + column + " AS DOUBLE)";
  }
  return "";
}

// Whether an input's value is missing: NULL, or NaN where NaN is a value.
std::string is_missing(SqlEngine engine, const std::string& value) {
  if (engine == SqlEngine::SQLITE) return value + " IS NULL";
  return "(" + value + ") IS NULL OR (" + value + ") = " + engine_number(engine, NAN);
}

// The statement's first step: the rows, their inputs as doubles and the
// kept columns (or the rowid); then, from the inputs' values, whether a row
// misses one, so that each input is read once. Adds the input values to
// `columns` and gives the SELECT.
std::string source_step(const SqlTable& table, int n, const std::function<std::string(int)>& column, Steps& steps,
                        std::vector<int>& columns) {
  std::string selected;
  const auto select = [&](const std::string& sql, const std::string& name) {
    selected += (selected.empty() ? "" : ", ") + sql + " AS " + name;
    return steps.add_source(name);
  };
  for (int m = 0; m < n; ++m) columns.push_back(select(input_value(table.engine, in_table(column(m))), "c" + std::to_string(m)));
  std::vector<int> carried;
  for (std::size_t k = 0; k < table.keep.size(); ++k)
    carried.push_back(select(in_table(table.keep[k]), "k" + std::to_string(k)));
  if (table.keep.empty() && has_row_identity(table.engine))
    carried.push_back(select(std::string(TABLE_ALIAS) + ".rowid", "karva_rowid"));
  std::string missing;
  for (int c : columns) missing += (missing.empty() ? "" : " OR ") + is_missing(table.engine, steps.name(c));
  carried.push_back(steps.add("karva_missing", "(" + (missing.empty() ? std::string("false") : missing) + ")", columns));
  for (int v : carried) steps.keep_to_the_end(v);
  return "SELECT " + selected + " FROM " + quoted_table(table.name) + " AS " + TABLE_ALIAS;
}

// The steps of gene `j`, over the values of the columns before it; gives
// the value of its scaled result.
int gene_steps(SqlEngine engine, const PreparedGene& gene, std::size_t j, const std::vector<int>& columns, Steps& steps) {
  const GeneProgram& program = gene.program;
  const int zero = -1;
  std::vector<int> slot_value(program.slots, zero);
  const auto value_of = [&](std::size_t operand) {
    if (operand < program.columns) return columns[operand];
    if (operand == program.columns) return zero;
    return slot_value[operand - program.columns - 1];
  };
  const auto sql_of = [&](int v) { return v == zero ? engine_number(engine, 0.0) : steps.name(v); };
  const auto used = [&](std::initializer_list<int> values) {
    std::vector<int> operands;
    for (int v : values)
      if (v != zero) operands.push_back(v);
    return operands;
  };
  for (std::size_t i = 0; i < program.code.size(); ++i) {
    const Instruction& in = program.code[i];
    const int a = value_of(in.a);
    const int b = operator_info(in.op).arity == 2 ? value_of(in.b) : zero;
    slot_value[in.slot] = steps.add("g" + std::to_string(j) + "_" + std::to_string(i),
                                    sql_operation(engine, in.op, sql_of(a), sql_of(b)), used({a, b}));
  }
  // Product and sum rounded one after the other, as karva rounds them, each
  // as its engine must write it.
  const int result = value_of(program.result);
  const int scaled = steps.add("g" + std::to_string(j) + "_scaled",
                               sql_operation(engine, OpCode::MUL, sql_of(result), engine_number(engine, gene.slope)),
                               used({result}));
  return steps.add("g" + std::to_string(j),
                   sql_operation(engine, OpCode::ADD, steps.name(scaled), engine_number(engine, gene.intercept)), {scaled});
}

// PostgreSQL's longest identifier, in bytes: a longer one is cut.
constexpr std::size_t POSTGRESQL_NAME_BYTES = 63;

// The first name of the table's the engine would not read as written.
std::optional<SqlNameError> unreadable_name(const SqlTable& table, const std::vector<std::string>& inputs) {
  if (table.engine != SqlEngine::POSTGRESQL) return std::nullopt;
  std::vector<std::string> names = inputs;
  names.insert(names.end(), table.keep.begin(), table.keep.end());
  names.push_back(table.prediction_name);
  for (std::string& part : table_name_parts(table.name)) names.push_back(std::move(part));
  for (const std::string& name : names)
    if (name.size() > POSTGRESQL_NAME_BYTES) return SqlNameError{name, POSTGRESQL_NAME_BYTES};
  return std::nullopt;
}

// What the engine is told before the statement: for PostgreSQL, the two
// functions that ask a product or a power at the very edge of the range
// and take the error it raises there for the edge's value; and no JIT for
// the session, since compiling the guards' long expressions takes longer
// than running them.
std::string preamble(SqlEngine engine) {
  if (engine != SqlEngine::POSTGRESQL) return "";
  std::string text = "SET jit = off;\n";
  for (const auto& [name, operation] : {std::pair{"karva_multiply", "a * b"}, std::pair{"karva_power", "power(a, b)"}})
    text += std::string("CREATE OR REPLACE FUNCTION pg_temp.") + name +
            "(a double precision, b double precision, edge double precision) RETURNS double precision\n"
            "LANGUAGE plpgsql IMMUTABLE AS $karva$ BEGIN RETURN " + operation +
            "; EXCEPTION WHEN numeric_value_out_of_range THEN RETURN edge; END $karva$;\n";
  return text;
}

// The engine as the statement's first comment names it, and what its NaN is.
std::string engine_words(SqlEngine engine) {
  switch (engine) {
    case SqlEngine::SQLITE:
      return "SQLite 3.40 with its math functions.\n-- NULL stands for NaN; a NULL input, or text that is not a number,"
             " is a missing value";
    case SqlEngine::POSTGRESQL:
      return "PostgreSQL 15.\n-- NaN is 'NaN'; a NULL or NaN input is a missing value";
    case SqlEngine::DUCKDB:
      return "DuckDB.\n-- NaN is 'NaN'; a NULL or NaN input, or text that is not a number, is a missing value";
  }
  return "";
}

}  // namespace

Expected<std::string, SqlNameError> emit_sql(const std::string& key_name, const Key& key, const PreparedKey& prepared,
                                             const SqlTable& table) {
  const int n = prepared.variable_count;
  const auto column = [&](int m) {
    return m < static_cast<int>(table.inputs.size()) ? table.inputs[static_cast<std::size_t>(m)]
                                                       : letter_name(static_cast<unsigned char>(FIRST_TERMINAL_LETTER + m));
  };
  std::vector<std::string> inputs;
  for (int m = 0; m < n; ++m) inputs.push_back(column(m));
  if (std::optional<SqlNameError> e = unreadable_name(table, inputs)) return Unexpected(*e);
  Steps steps;
  std::vector<int> columns;  // value of each column: inputs, then genes' outputs
  const std::string source = source_step(table, n, column, steps, columns);
  for (std::size_t j = 0; j < prepared.genes.size(); ++j)
    columns.push_back(gene_steps(table.engine, prepared.genes[j], j, columns, steps));
  const int prediction = columns.back();
  steps.keep_to_the_end(prediction);

  std::string text = "-- Predictions of the karva key " + comment_text(key_name) + ": " + std::to_string(n) +
                     " input variables, " + std::to_string(key.gene_count()) + " genes, for " + engine_words(table.engine);
  text += ", and its row's prediction is NULL.\n-- Inputs, in this order:";
  for (int m = 0; m < n; ++m) text += (m ? ", " : " ") + comment_text(column(m));
  text += ".\n" + preamble(table.engine);
  int last = 0;
  const std::string ctes = steps.ctes(&last);
  // SQLite would put the source's CASE for each input into every expression
  // that reads it; elsewhere an input is one cast, cheaper than a copy.
  const char* source_kind = table.engine == SqlEngine::SQLITE ? " AS MATERIALIZED (" : " AS (";
  text += "WITH karva_source" + std::string(source_kind) + source + ")" + ctes;
  std::string selected = table.keep.empty() && has_row_identity(table.engine) ? "karva_rowid AS rowid, " : "";
  for (std::size_t k = 0; k < table.keep.size(); ++k)
    selected += "k" + std::to_string(k) + " AS " + sql_identifier(table.keep[k]) + ", ";
  text += "SELECT " + selected + "CASE WHEN karva_missing THEN NULL ELSE " + steps.name(prediction) + " END AS " +
          sql_identifier(table.prediction_name) + " FROM " + Steps::step_name(last) + ";\n";
  return text;
}

}  // namespace karva
