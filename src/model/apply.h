// Applying a whole key to a table of rows, gene after gene.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "model/etree.h"
#include "model/key.h"
#include "model/program.h"
#include "model/table.h"

namespace karva {

struct PreparedGene {
  std::string terminal_set;  // letters of the columns the gene may read
  std::unique_ptr<etnode> tree;
  GeneProgram program;
  double intercept = 0.0;
  double slope = 0.0;
};

// Every gene's tree, built and checked once, to be used for every row.
struct PreparedKey {
  int variable_count = 0;
  std::vector<PreparedGene> genes;
  int row_width() const { return variable_count + static_cast<int>(genes.size()); }
};

// Builds every gene's tree with the terminal set of the columns before its
// own. Gives nothing back, after its messages on `msg`, when the key needs
// more terminal letters than there are or a gene's tree cannot be built.
std::optional<PreparedKey> prepare_key(const Key& key, std::FILE* msg);

// Appends one column per gene, in key order, to every row of `table`; every
// row receives gene j's value before gene j + 1 runs. `table.row_width` is
// the key's variable count on entry and rises by one per gene; the table
// must have room for all the key's columns.
void apply_key(const PreparedKey& key, DataTable& table);

}  // namespace karva
