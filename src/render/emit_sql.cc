#include "render/emit_sql.h"

#include <algorithm>
#include <cctype>
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
#include "render/sql_forms.h"
#include "render/sql_engines.h"
#include "render/sql_inputs.h"
#include "render/sql_steps.h"
#include "text/escape.h"
#include "text/number.h"

namespace karva {
namespace {

// What a statement is written for: the engine, and where its helpers live.
struct Target {
  const SqlEngineRow& engine;
  SqlHelpers helpers;
};

// One operation as SQL of the engine over its operands: the form of its
// operator's row for the engine.
std::string sql_operation(const Target& target, OpCode op, const std::string& a, const std::string& b) {
  const Operator& row = operator_info(op);
  if (!target.engine.nan_is_value) return operator_text(row.sql, target.engine.number, a, b);
  // $RAW, where a form names it, stands once for the whole form or one branch of it.
  std::string form(row.sql_ieee);
  if (const std::size_t raw = form.find("$RAW"); raw != std::string::npos)
    form.replace(raw, std::string_view("$RAW").size(), target.engine.guarded ? row.sql_guarded : row.sql_raw);
  return operator_text(form, target.engine.number, a, b,
                       [&](std::string_view helper) { return target.helpers.name(helper); });
}

// A prefix for the steps' names that the table's own name (compared as SQL
// compares names, without case) does not start with, so that no step is
// named as the table: karva_, else karva1_, karva2_, ...
std::string step_prefix(const std::string& table_part) {
  std::string lower = table_part;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string prefix = "karva_";
  for (int k = 1; lower.starts_with(prefix); ++k) prefix = "karva" + std::to_string(k) + "_";
  return prefix;
}

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

// Whether an input's value is missing: NULL, or NaN where NaN is a value.
std::string is_missing(const SqlEngineRow& engine, const std::string& value) {
  if (!engine.nan_is_value) return value + " IS NULL";
  return "(" + value + ") IS NULL OR (" + value + ") = " + engine.number(NAN);
}

// The statement's first step: the rows, their inputs as doubles and the
// kept columns (or the rowid); then, from the inputs' values, whether a row
// misses one, so that each input is read once. Adds the input values to
// `columns` and gives the SELECT.
std::string source_step(const SqlTable& table, const Target& target, int n,
                        const std::function<std::string(int)>& column, Steps& steps, std::vector<int>& columns) {
  std::string selected;
  const auto select = [&](const std::string& sql, const std::string& name) {
    selected += (selected.empty() ? "" : ", ") + sql + " AS " + name;
    return steps.add_source(name);
  };
  for (int m = 0; m < n; ++m)
    columns.push_back(select(target.engine.input(in_table(column(m)), target.helpers), "c" + std::to_string(m)));
  std::vector<int> carried;
  for (std::size_t k = 0; k < table.keep.size(); ++k)
    carried.push_back(select(in_table(table.keep[k]), "k" + std::to_string(k)));
  if (table.keep.empty() && has_row_identity(table.engine))
    carried.push_back(select(std::string(TABLE_ALIAS) + ".rowid", "karva_rowid"));
  std::string missing;
  for (int c : columns) missing += (missing.empty() ? "" : " OR ") + is_missing(target.engine, steps.name(c));
  carried.push_back(steps.add("karva_missing", "(" + (missing.empty() ? std::string("false") : missing) + ")", columns));
  for (int v : carried) steps.keep_to_the_end(v);
  return "SELECT " + selected + " FROM " + quoted_table(table.name) + " AS " + TABLE_ALIAS;
}

// The steps of gene `j`, over the values of the columns before it; gives
// the value of its scaled result.
int gene_steps(const Target& target, const PreparedGene& gene, std::size_t j, const std::vector<int>& columns,
               Steps& steps) {
  const GeneProgram& program = gene.program;
  const int zero = -1;
  std::vector<int> slot_value(program.slots, zero);
  const auto value_of = [&](std::size_t operand) {
    if (operand < program.columns) return columns[operand];
    if (operand == program.columns) return zero;
    return slot_value[operand - program.columns - 1];
  };
  const auto sql_of = [&](int v) { return v == zero ? target.engine.number(0.0) : steps.name(v); };
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
                                    sql_operation(target, in.op, sql_of(a), sql_of(b)), used({a, b}));
  }
  // Product and sum rounded one after the other, as karva rounds them, each
  // as its engine must write it.
  const int result = value_of(program.result);
  const int scaled = steps.add("g" + std::to_string(j) + "_scaled",
                               sql_operation(target, OpCode::MUL, sql_of(result), target.engine.number(gene.slope)),
                               used({result}));
  return steps.add("g" + std::to_string(j),
                   sql_operation(target, OpCode::ADD, steps.name(scaled), target.engine.number(gene.intercept)), {scaled});
}

// The first name of the table's the engine would not read as written.
std::optional<SqlError> unreadable_name(const SqlTable& table, const std::vector<std::string>& inputs) {
  const std::size_t most = sql_engine_row(table.engine).name_bytes;
  if (most == 0) return std::nullopt;
  std::vector<std::string> names = inputs;
  names.insert(names.end(), table.keep.begin(), table.keep.end());
  names.push_back(table.prediction_name);
  for (std::string& part : table_name_parts(table.name)) names.push_back(std::move(part));
  // A view's name, and its helpers' (the longest named after "_multiply").
  for (std::string& part : table.view.empty() ? std::vector<std::string>{} : table_name_parts(table.view))
    names.push_back(std::move(part));
  if (!table.view.empty()) names.push_back(table_name_parts(table.view).back() + "_multiply");
  for (const std::string& name : names)
    if (name.size() > most) return SqlError{name, most};
  return std::nullopt;
}

// What the engine is told before the statement: its session's settings;
// where it raises errors, the functions that read its inputs and the two
// that ask a product or a power at the very edge of the range and take the
// error it raises there for the edge's value.
std::string preamble(const Target& target) {
  std::string text(target.engine.settings);
  if (!target.engine.guarded) return text;
  text += postgresql_input_functions(target.helpers);
  for (const auto& [name, operation] : {std::pair{"multiply", "a * b"}, std::pair{"power", "power(a, b)"}})
    text += "CREATE OR REPLACE FUNCTION " + target.helpers.name(name) +
            "(a double precision, b double precision, edge double precision) RETURNS double precision\n"
            "LANGUAGE plpgsql IMMUTABLE AS $karva$ BEGIN RETURN " + operation +
            "; EXCEPTION WHEN numeric_value_out_of_range THEN RETURN edge; END $karva$;\n";
  return text;
}

// Where the helpers of a statement for `table` live: a view's in its
// schema, named after it; a statement's in pg_temp.
SqlHelpers helpers_for(const SqlTable& table) {
  if (table.view.empty()) return {};
  std::vector<std::string> parts = table_name_parts(table.view);
  SqlHelpers helpers{"", parts.back() + "_", false};
  parts.pop_back();
  for (const std::string& part : parts) helpers.schema += sql_identifier(part) + ".";
  return helpers;
}

// The statement's last lines: what it returns, and, for a view, in the order
// of the kept columns (or the rowid), which come first.
std::string final_select(const SqlTable& table, const std::string& prediction, const std::string& from) {
  std::string selected = table.keep.empty() && has_row_identity(table.engine) ? "karva_rowid AS rowid, " : "";
  std::string order;
  for (std::size_t k = 0; k < table.keep.size(); ++k) {
    selected += "k" + std::to_string(k) + " AS " + sql_identifier(table.keep[k]) + ", ";
    order += (k ? ", " : " ORDER BY ") + std::to_string(k + 1);
  }
  if (table.keep.empty() && has_row_identity(table.engine)) order = " ORDER BY 1";
  return "SELECT " + selected + "CASE WHEN karva_missing THEN NULL ELSE " + prediction + " END AS " +
         sql_identifier(table.prediction_name) + " FROM " + from + (table.view.empty() ? "" : order) + ";\n";
}

}  // namespace

Expected<std::string, SqlError> emit_sql(const std::string& key_name, const Key& key, const PreparedKey& prepared,
                                             const SqlTable& table) {
  const int n = prepared.variable_count;
  const auto column = [&](int m) {
    return m < static_cast<int>(table.inputs.size()) ? table.inputs[static_cast<std::size_t>(m)]
                                                       : letter_name(static_cast<unsigned char>(FIRST_TERMINAL_LETTER + m));
  };
  std::vector<std::string> inputs;
  for (int m = 0; m < n; ++m) inputs.push_back(column(m));
  if (std::optional<SqlError> e = unreadable_name(table, inputs)) return Unexpected(*e);
  const Target target{sql_engine_row(table.engine), helpers_for(table)};
  Steps steps(step_prefix(table_name_parts(table.name).back()));
  std::vector<int> columns;  // value of each column: inputs, then genes' outputs
  const std::string source = source_step(table, target, n, column, steps, columns);
  for (std::size_t j = 0; j < prepared.genes.size(); ++j)
    columns.push_back(gene_steps(target, prepared.genes[j], j, columns, steps));
  const int prediction = columns.back();
  steps.keep_to_the_end(prediction);
  if (!table.view.empty() && statements_for(steps) > 1) return Unexpected(SqlError{table.view, 0, statements_for(steps)});

  std::string text = "-- Predictions of the karva key " + comment_text(key_name) + ": " + std::to_string(n) +
                     " input variables, " + std::to_string(key.gene_count()) + " genes, for " + std::string(target.engine.words);
  text += ", and its row's prediction is NULL.\n-- Inputs, in this order:";
  for (int m = 0; m < n; ++m) text += (m ? ", " : " ") + comment_text(column(m));
  text += ".\n" + preamble(target);
  if (!table.view.empty()) text += "CREATE VIEW " + quoted_table(table.view) + " AS\n";
  const std::string last = final_select(table, steps.name(prediction), steps.step_name(steps.last()));
  return text + staged_statements(steps, source, last, target.engine);
}

}  // namespace karva
