// The SQL engines karva writes for, one row each: everything a statement
// needs to know of its engine, so that no code asks which engine it is.
// The operators' forms live in the operator table: `sql` for an engine that
// holds NaN as NULL, `sql_ieee` (with its $RAW) for those that hold NaN.
#pragma once

#include <string>
#include <string_view>

#include "render/emit_sql.h"
#include "render/sql_forms.h"

namespace karva {

struct SqlEngineRow {
  // The statement's first comment: the engine, and what its NaN is.
  std::string_view words;
  // NaN is a value (a missing input is NULL or NaN, and the operators'
  // sql_ieee forms apply); otherwise NULL stands for NaN (their sql forms).
  bool nan_is_value;
  // Its arithmetic raises errors where C gives a value: $RAW is guarded,
  // and helper functions are created before the statement.
  bool guarded;
  std::string_view settings;  // for the session, before the statement
  std::size_t name_bytes;     // of an identifier it reads; 0: all of it
  // Whether the source step, and each later one, is materialized: without,
  // SQLite and PostgreSQL substitute a step into the next and compute an
  // operand as often as it is named.
  bool materialized_source;
  bool materialized_steps;
  std::string_view temporary_schema;  // of a session's temporary tables, with its dot
  std::string (*number)(double v);    // a double as its literal
  // A column's value as its double, as the command's --csv reads the field.
  std::string (*input)(const std::string& column, const SqlHelpers& helpers);
};

const SqlEngineRow& sql_engine_row(SqlEngine engine);

}  // namespace karva
