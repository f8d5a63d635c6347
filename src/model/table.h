// One chunk of the data's rows, stored column by column so that each gene
// runs down whole columns: the inputs first, then one column per gene.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace karva {

class DataTable {
 public:
  // Room for `rows` rows of `columns` values each, and their targets.
  // The values are not cleared: a row is read only once it is filled.
  void reserve(std::size_t rows, int columns) {
    row_capacity_ = rows;
    values_.reset(new double[rows * static_cast<std::size_t>(columns)]);
    targets.assign(rows, 0.0);
  }
  std::size_t capacity() const { return row_capacity_; }
  double* column(int m) { return values_.get() + static_cast<std::size_t>(m) * row_capacity_; }
  const double* column(int m) const { return values_.get() + static_cast<std::size_t>(m) * row_capacity_; }

  std::vector<double> targets;  // target of row i, when the data has one
  std::size_t row_count = 0;

 private:
  std::size_t row_capacity_ = 0;
  std::unique_ptr<double[]> values_;  // column m holds rows 0.. at m * row_capacity_
};

}  // namespace karva
