// The key as SQL that scores the rows of a table inside a database, bit for
// bit as karva does: SQLite 3.40 with its math functions, PostgreSQL 15 or
// DuckDB.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "model/apply.h"
#include "base/expected.h"
#include "model/key.h"

namespace karva {

// The engines a statement is written for, by the names --sql-engine takes.
enum class SqlEngine { SQLITE, POSTGRESQL, DUCKDB };
inline constexpr std::array<std::string_view, 3> SQL_ENGINES = {"sqlite", "postgresql", "duckdb"};
constexpr SqlEngine sql_engine_at(std::size_t i) { return static_cast<SqlEngine>(i); }
// Whether the engine's tables have a stable row identity to return (SQLite's
// rowid); without one, a statement needs key columns to return.
constexpr bool has_row_identity(SqlEngine engine) { return engine == SqlEngine::SQLITE; }

// The table a statement scores, and the columns it reads and returns.
struct SqlTable {
  std::string name = "data";  // "schema.table" is quoted part by part
  std::vector<std::string> inputs;  // the key's inputs' columns, in the key's order
  std::vector<std::string> keep;    // columns returned beside the prediction, instead of rowid
  std::string prediction_name = "predict";
  SqlEngine engine = SqlEngine::SQLITE;
  // When not empty, the statement is a view of this name ("schema.view"),
  // its rows in the order of the kept columns (or the rowid); PostgreSQL's
  // helpers are then ordinary functions in its schema, named after it, so
  // that the view outlives the session.
  std::string view;
};

// What --emit sql cannot write: a name the engine would not read as written
// (PostgreSQL cuts an identifier to `most` bytes, and could then read
// another column), or a view of a key too deep for one statement (its
// `statements`).
struct SqlError {
  std::string name;
  std::size_t most = 0;
  int statements = 0;  // a view's, when it would take more than one
};

// A SELECT (or a view of one) that returns the table's rowid (or the kept
// columns) and the prediction for every row; for PostgreSQL, after the
// functions it calls to read its inputs and at the edges of the double
// range. A NULL input (or, where the
// engine holds NaN, a NaN input) is a missing value, and its row's
// prediction is NULL; in SQLite NULL stands for NaN inside, elsewhere NaN
// is NaN, and each operator gives C's result for NaN, zeros and infinities.
Expected<std::string, SqlError> emit_sql(const std::string& key_name, const Key& key, const PreparedKey& prepared,
                                             const SqlTable& table);

}  // namespace karva
