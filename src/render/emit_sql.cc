#include "render/emit_sql.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>

#include "model/ops.h"
#include "render/explain.h"
#include "render/operator_text.h"
#include "text/escape.h"

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

// One operation as SQL over its operands.
std::string sql_operation(OpCode op, const std::string& a, const std::string& b) {
  return operator_text(operator_info(op).sql, sql_number, a, b);
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

std::string quoted_table(const std::string& table) {
  std::string quoted;
  for (std::size_t start = 0;;) {
    const std::size_t dot = table.find('.', start);
    quoted += sql_identifier(table.substr(start, dot - start));
    if (dot == std::string::npos) return quoted;
    quoted += ".";
    start = dot + 1;
  }
}

}  // namespace

namespace {

// The scored table's name inside the statement. Columns are named through
// it, so that a column the table does not have is an error ("no such
// column"), never a string constant, as a lone double-quoted name can be.
constexpr const char* TABLE_ALIAS = "karva_input";
std::string in_table(const std::string& column) { return std::string(TABLE_ALIAS) + "." + sql_identifier(column); }

// A column's value as REAL: numbers as they are (whole numbers too, so that
// they never take integer arithmetic), text only when it is a number as
// SQLite reads it; the empty or NA text that a CSV import stores, and
// anything else, is NULL, a missing value.
std::string input_value(const std::string& column) {
  const std::string text = "trim(" + column + ")";
  const std::string is_text = "typeof(" + column + ") = 'text' AND ";
  return "CASE WHEN typeof(" + column + ") IN ('integer', 'real') THEN CAST(" + column + " AS REAL) WHEN " + is_text +
         text + " GLOB '*[0-9]*' AND " + text + " NOT GLOB '*[^0-9.eE+-]*' THEN CAST(" + text + " AS REAL) WHEN " +
         is_text + "lower(" + text + ") IN ('inf', '+inf', 'infinity', '+infinity') THEN 9e999 WHEN " + is_text +
         "lower(" + text + ") IN ('-inf', '-infinity') THEN -9e999 END";
}

// The statement's first step: the rows, their inputs as REAL (so that whole
// numbers never take integer arithmetic), the kept columns (or the rowid)
// and whether an input is missing. Adds the input values to `columns` and
// gives the SELECT.
std::string source_step(const SqlTable& table, int n, const std::function<std::string(int)>& column, Steps& steps,
                        std::vector<int>& columns) {
  std::string source = "SELECT ";
  std::string missing;
  for (int m = 0; m < n; ++m) {
    columns.push_back(steps.add_source("c" + std::to_string(m)));
    const std::string value = input_value(in_table(column(m)));
    source += value + " AS c" + std::to_string(m) + ", ";
    missing += (m ? " OR " : "") + value + " IS NULL";
  }
  std::vector<int> carried;
  for (std::size_t k = 0; k < table.keep.size(); ++k) {
    carried.push_back(steps.add_source("k" + std::to_string(k)));
    source += in_table(table.keep[k]) + " AS k" + std::to_string(k) + ", ";
  }
  if (table.keep.empty()) {
    carried.push_back(steps.add_source("karva_rowid"));
    source += std::string(TABLE_ALIAS) + ".rowid AS karva_rowid, ";
  }
  carried.push_back(steps.add_source("karva_missing"));
  for (int v : carried) steps.keep_to_the_end(v);
  return source + "(" + (missing.empty() ? std::string("0") : missing) + ") AS karva_missing FROM " +
         quoted_table(table.name) + " AS " + TABLE_ALIAS;
}

// The steps of gene `j`, over the values of the columns before it; gives
// the value of its scaled result.
int gene_steps(const PreparedGene& gene, std::size_t j, const std::vector<int>& columns, Steps& steps) {
  const GeneProgram& program = gene.program;
  const int zero = -1;
  std::vector<int> slot_value(program.slots, zero);
  const auto value_of = [&](std::size_t operand) {
    if (operand < program.columns) return columns[operand];
    if (operand == program.columns) return zero;
    return slot_value[operand - program.columns - 1];
  };
  const auto sql_of = [&](int v) { return v == zero ? std::string("0e0") : steps.name(v); };
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
                                    sql_operation(in.op, sql_of(a), sql_of(b)), used({a, b}));
  }
  // Product and sum rounded one after the other, as karva rounds them.
  const int result = value_of(program.result);
  return steps.add("g" + std::to_string(j),
                   "(" + sql_of(result) + " * " + sql_number(gene.slope) + ") + " + sql_number(gene.intercept),
                   used({result}));
}

}  // namespace

std::string emit_sql(const std::string& key_name, const Key& key, const PreparedKey& prepared, const SqlTable& table) {
  const int n = prepared.variable_count;
  const auto column = [&](int m) {
    return m < static_cast<int>(table.inputs.size()) ? table.inputs[static_cast<std::size_t>(m)]
                                                       : letter_name(static_cast<unsigned char>(FIRST_TERMINAL_LETTER + m));
  };
  Steps steps;
  std::vector<int> columns;  // value of each column: inputs, then genes' outputs
  const std::string source = source_step(table, n, column, steps, columns);
  for (std::size_t j = 0; j < prepared.genes.size(); ++j) columns.push_back(gene_steps(prepared.genes[j], j, columns, steps));
  const int prediction = columns.back();
  steps.keep_to_the_end(prediction);

  std::string text = "-- Predictions of the karva key " + comment_text(key_name) + ": " + std::to_string(n) +
                     " input variables, " + std::to_string(key.gene_count()) + " genes, for SQLite 3.40 with its math functions.\n";
  text += "-- Inputs, in this order:";
  for (int m = 0; m < n; ++m) text += (m ? ", " : " ") + comment_text(column(m));
  text += ". NULL stands for NaN; a NULL input, or text that is not a number, is a missing value.\n";
  int last = 0;
  const std::string ctes = steps.ctes(&last);
  text += "WITH karva_source AS (" + source + ")" + ctes;
  std::string selected = table.keep.empty() ? "karva_rowid AS rowid, " : "";
  for (std::size_t k = 0; k < table.keep.size(); ++k)
    selected += "k" + std::to_string(k) + " AS " + sql_identifier(table.keep[k]) + ", ";
  text += "SELECT " + selected + "CASE WHEN karva_missing THEN NULL ELSE " + steps.name(prediction) + " END AS " +
          sql_identifier(table.prediction_name) + " FROM " + Steps::step_name(last) + ";\n";
  return text;
}

}  // namespace karva
