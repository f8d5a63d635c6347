#include "render/sql_engines.h"

#include <array>

#include "render/sql_inputs.h"

namespace karva {
namespace {

// In the order of SqlEngine and SQL_ENGINES.
const std::array<SqlEngineRow, 3> ENGINES = {{
    {"SQLite 3.40 with its math functions.\n-- NULL stands for NaN; a NULL input, or text that is not a number,"
     " is a missing value",
     false, false, "", 0, true, true, "temp.", sql_number, sqlite_input},
    // No JIT for the session: compiling the guards' long expressions takes
    // longer than running them.
    {"PostgreSQL 15.\n-- NaN is 'NaN'; a NULL or NaN input is a missing value", true, true, "SET jit = off;\n", 63,
     false, true, "pg_temp.", postgresql_number, postgresql_input},
    // DuckDB keeps each step's projection apart without being told, and plans
    // a long chain of materialized steps far more slowly.
    {"DuckDB.\n-- NaN is 'NaN'; a NULL or NaN input, or text that is not a number, is a missing value", true, false,
     "", 0, false, false, "temp.", duckdb_number, duckdb_input},
}};

}  // namespace

const SqlEngineRow& sql_engine_row(SqlEngine engine) { return ENGINES[static_cast<std::size_t>(engine)]; }

}  // namespace karva
