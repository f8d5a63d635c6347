#include "model/apply.h"

#include <algorithm>

namespace karva {

std::optional<PreparedKey> prepare_key(const Key& key, std::FILE* msg) {
  const long long n = key.variable_count;
  const long long genes = static_cast<long long>(key.genes.size());
  if (n < 0) {
    std::fprintf(msg, "The key has a negative number of input variables (%lld).\n", n);
    return std::nullopt;
  }
  // The last gene reads the inputs and every earlier gene's column.
  const long long needed = n + genes - 1;
  if (needed > MAX_TERMINAL_LETTERS) {
    std::fprintf(msg,
                 "The key needs %lld terminal letters (%lld input variables and %lld genes before the last); "
                 "at most %d are supported.\n",
                 needed, n, genes - 1, MAX_TERMINAL_LETTERS);
    return std::nullopt;
  }
  PreparedKey prepared;
  prepared.variable_count = static_cast<int>(n);
  int width = prepared.variable_count;
  int number = 0;
  for (const KeyGene& gene : key.genes) {
    ++number;
    PreparedGene g;
    g.terminal_set = terminal_letters(width);
    g.tree = build_etree(gene.symbols, g.terminal_set, UNARY_FUNCTIONS, BINARY_OPERATORS, nullptr, msg);
    if (!g.tree) {
      std::fprintf(msg, "Gene %d of the key cannot be built: %s.\n", number,
                   build_failure_reason(gene.symbols, g.terminal_set).c_str());
      return std::nullopt;
    }
    g.program = compile_etree(*g.tree, g.terminal_set);
    g.intercept = gene.intercept;
    g.slope = gene.slope;
    prepared.genes.push_back(std::move(g));
    ++width;
  }
  return prepared;
}

void apply_key(const PreparedKey& key, DataTable& table) {
  ProgramScratch scratch;
  std::vector<const double*> columns;
  for (const PreparedGene& gene : key.genes) {
    const int width = table.row_width;
    columns.clear();
    for (int m = 0; m < width; ++m) columns.push_back(table.column(m));
    double* out = table.column(width);
    for (std::size_t begin = 0; begin < table.row_count; begin += PROGRAM_BLOCK) {
      const std::size_t count = std::min(PROGRAM_BLOCK, table.row_count - begin);
      run_program(gene.program, columns.data(), begin, count, gene.slope, gene.intercept, out + begin, scratch);
    }
    table.row_width = width + 1;
  }
}

}  // namespace karva
