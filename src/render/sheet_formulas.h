// The key as live spreadsheet formulas, one row of the sheet per row of
// data: every gene a column whose formula reads the row's input cells and
// earlier genes' cells, cut into more columns where a formula would pass
// a spreadsheet's limits.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "model/etree.h"
#include "model/key.h"

namespace karva {

// Where a formula writes its row's number; replaced in each row's copy.
inline constexpr char SHEET_ROW = '\x01';

// One computed column of the sheet.
struct SheetColumn {
  std::string header;
  std::string formula;        // with SHEET_ROW for the row, guarded for missing inputs
  const etnode* node = nullptr;  // the subtree it computes, for a helper column
  int gene = -1;              // the gene whose value it holds; -1 for a helper
};

class SheetFormulas {
 public:
  // The inputs are the first columns, in the key's order. `constant` gives
  // how a formula writes a number: itself, or the name of a cell that holds
  // it; `scale`, a gene's intercept or slope.
  SheetFormulas(const Key& key, const std::function<std::string(double)>& constant,
                const std::function<std::string(int gene, bool slope)>& scale);

  // Every computed column in order after the inputs: each gene after the
  // helper columns it reads; a gene that cannot be built is a column of 0.
  const std::vector<SheetColumn>& columns() const { return columns_; }
  // The column (0 = A) that holds gene `gene`.
  int gene_column(int gene) const { return gene_columns_[static_cast<std::size_t>(gene)]; }

  // What `column` holds for a row whose inputs and genes' values are
  // `values` (the key's row: inputs, then genes), as the run computes it.
  double value(const SheetColumn& column, const double* values) const;

  // The guard of a row's formula: empty where an input cell is empty.
  std::string guarded(const std::string& formula) const;

 private:
  std::string write(const etnode& node);
  std::string cell(int column) const;

  int inputs_;
  std::vector<std::unique_ptr<etnode>> trees_;
  std::vector<SheetColumn> columns_;
  std::vector<int> gene_columns_;
  std::function<std::string(double)> constant_;
};

// The column's letters: 0 is A, 26 is AA.
std::string column_name(int column);

}  // namespace karva
