#include "model/apply.h"

#include <algorithm>

namespace karva {

std::unique_ptr<etnode> build_gene(const Key& key, int index, BuildError* err) {
  const std::string terminals = terminal_letters(key.variable_count + index);
  return build_etree(key.genes[static_cast<std::size_t>(index)].symbols, terminals, UNARY_FUNCTIONS,
                     BINARY_OPERATORS, nullptr, err);
}

Expected<PreparedKey, PrepareError> prepare_key(const Key& key) {
  const long long n = key.variable_count;
  const long long before_last = static_cast<long long>(key.genes.size()) - 1;
  const auto refuse = [&](PrepareError::Kind kind, int gene = 0, BuildError build = {}) {
    return Unexpected(PrepareError{kind, n, before_last, gene, std::move(build)});
  };
  if (n < 0) return refuse(PrepareError::Kind::NEGATIVE_INPUTS);
  // The last gene reads the inputs and every earlier gene's column.
  if (n + before_last > MAX_TERMINAL_LETTERS) return refuse(PrepareError::Kind::TOO_MANY_LETTERS);

  PreparedKey prepared;
  prepared.variable_count = static_cast<int>(n);
  for (int j = 0; j < key.gene_count(); ++j) {
    BuildError build;
    const std::unique_ptr<etnode> tree = build_gene(key, j, &build);
    if (!tree) return refuse(PrepareError::Kind::GENE, j + 1, build);
    const KeyGene& gene = key.genes[static_cast<std::size_t>(j)];
    prepared.genes.push_back({compile_etree(*tree, terminal_letters(prepared.variable_count + j)), gene.intercept,
                              gene.slope});
  }
  return prepared;
}

const double* apply_key(const PreparedKey& key, DataTable& table) {
  ProgramScratch scratch;
  std::vector<const double*> columns;
  int width = key.variable_count;
  for (const PreparedGene& gene : key.genes) {
    columns.clear();
    for (int m = 0; m < width; ++m) columns.push_back(table.column(m));
    double* out = table.column(width);
    for (std::size_t begin = 0; begin < table.row_count; begin += PROGRAM_BATCH) {
      const std::size_t count = std::min(PROGRAM_BATCH, table.row_count - begin);
      run_program(gene.program, columns.data(), begin, count, gene.slope, gene.intercept, out + begin, scratch);
    }
    ++width;
  }
  return table.column(width - 1);
}

}  // namespace karva
