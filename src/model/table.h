// A table of rows: one chunk of the data file, stored column by column so
// that each gene runs down whole columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace karva {

struct DataTable {
  bool has_target = false;
  bool has_header = false;
  std::int64_t column_count = 0;          // columns on the first line, target included
  std::vector<std::string> column_names;  // only with a header
  std::vector<double> targets;            // target of row i, when has_target
  std::size_t row_count = 0;
  int row_width = 0;  // values in every row: the inputs, then one per gene applied

  // Room for `rows` rows of `width` values each.
  void reserve(std::size_t rows, int width) {
    row_capacity = rows;
    values.assign(rows * static_cast<std::size_t>(width), 0.0);
    targets.assign(rows, 0.0);
  }
  std::size_t capacity() const { return row_capacity; }
  int column_capacity() const {
    return row_capacity == 0 ? 0 : static_cast<int>(values.size() / row_capacity);
  }
  double* column(int m) { return values.data() + static_cast<std::size_t>(m) * row_capacity; }
  const double* column(int m) const { return values.data() + static_cast<std::size_t>(m) * row_capacity; }
  double& at(std::size_t row, int col) { return column(col)[row]; }
  double at(std::size_t row, int col) const { return column(col)[row]; }
  // The last value of a row is its prediction once the key is applied.
  double prediction(std::size_t row) const { return at(row, row_width - 1); }

 private:
  std::size_t row_capacity = 0;
  std::vector<double> values;  // column m holds rows 0.. at m * row_capacity
};

}  // namespace karva
