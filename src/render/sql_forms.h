// Each SQL engine's literals, and where the helper functions that its
// operators' guarded forms call live.
#pragma once

#include <string>

#include "model/ops.h"
#include "render/emit_sql.h"

namespace karva {

// Where PostgreSQL's helper functions live: in pg_temp for a statement, or
// for a view in its schema, named after it, so that they outlive the
// session as the view does.
struct SqlHelpers {
  std::string schema;          // quoted, with its dot; empty: the search path's
  std::string prefix = "karva_";
  bool temporary = true;       // in pg_temp
  // The helper `what` as a statement names it.
  std::string name(std::string_view what) const;
};

// A double as SQL that SQLite 3.40 reads exactly; NaN is NULL.
std::string sql_number(double v);
// A double as a typed literal that PostgreSQL (whose float8 input is
// strtod) and DuckDB (whose reading is correctly rounded too) read back as
// the same double.
std::string postgresql_number(double v);
std::string duckdb_number(double v);


}  // namespace karva
