// A column's value as each SQL engine's double, read as the command reads
// the same field with --csv: numbers as they are; text only when it is a
// number by the command's grammar (blanks around it allowed), else a
// missing value; in PostgreSQL, a numeric beyond the double range as the
// command reads its digits (±infinity, a subnormal or ±0) instead of an
// error that would abort the query.
#pragma once

#include <string>

#include "render/emit_sql.h"
#include "render/sql_forms.h"

namespace karva {

// The column `column` (already quoted and qualified) as each engine's double.
std::string sqlite_input(const std::string& column, const SqlHelpers& helpers);
std::string postgresql_input(const std::string& column, const SqlHelpers& helpers);
std::string duckdb_input(const std::string& column, const SqlHelpers& helpers);

// What postgresql_input calls, created before the statement: one overload
// per kind of column.
std::string postgresql_input_functions(const SqlHelpers& helpers);

}  // namespace karva
