// The key as one SQL statement that scores the rows of a table inside the
// database, bit for bit as karva does (SQLite 3.40 with its math functions).
#pragma once

#include <string>
#include <vector>

#include "model/apply.h"
#include "model/key.h"

namespace karva {

// The table a statement scores, and the columns it reads and returns.
struct SqlTable {
  std::string name = "data";  // "schema.table" is quoted part by part
  std::vector<std::string> inputs;  // the key's inputs' columns, in the key's order
  std::vector<std::string> keep;    // columns returned beside the prediction, instead of rowid
  std::string prediction_name = "predict";
};

// A SELECT that returns the table's rowid (or the kept columns) and the
// prediction for every row. NULL stands for NaN inside, so that each
// operator gives C's result for NaN, zeros and infinities; a NULL input is
// a missing value, and its row's prediction is NULL.
std::string emit_sql(const std::string& key_name, const Key& key, const PreparedKey& prepared, const SqlTable& table);

}  // namespace karva
