// Applying a whole key to a table of rows, gene after gene.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "model/etree.h"
#include "model/key.h"
#include "model/program.h"
#include "model/table.h"

namespace karva {

struct PreparedGene {
  GeneProgram program;
  double intercept = 0.0;
  double slope = 0.0;
};

// Every gene compiled once, to be run over every chunk of rows.
struct PreparedKey {
  int variable_count = 0;
  std::vector<PreparedGene> genes;
  // The columns a chunk needs: the inputs, then one per gene.
  int row_width() const { return variable_count + static_cast<int>(genes.size()); }
};

// Why a key cannot be prepared, with the facts its message names.
struct PrepareError {
  enum class Kind {
    NEGATIVE_INPUTS,   // variable_count below 0
    TOO_MANY_LETTERS,  // the last gene would read more than MAX_TERMINAL_LETTERS columns
    GENE,              // gene `gene` gives no tree; `build` says why
  };
  Kind kind = Kind::GENE;
  long long variable_count = 0;
  long long genes_before_last = 0;
  int gene = 0;  // 1-based
  BuildError build;
};

// The tree of gene `index` (from 0) of `key`, over the inputs and the
// columns of the genes before it; nothing, with `*err` filled, when the
// symbols give none.
std::unique_ptr<etnode> build_gene(const Key& key, int index, BuildError* err);

// Builds and compiles every gene; the error when the key needs more
// terminal letters than there are or a gene gives no tree.
Expected<PreparedKey, PrepareError> prepare_key(const Key& key);

// Fills the gene columns of the chunk's rows, in key order: gene j's column
// is complete before gene j + 1 reads it. The table has room for
// key.row_width() columns and its inputs are read. Gives the predictions,
// the last gene's column.
const double* apply_key(const PreparedKey& key, DataTable& table);

}  // namespace karva
