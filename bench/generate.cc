// Writes the benchmark inputs: a key of 5 chained genes that uses all
// thirteen operators, and a data file with a header line "y,x1,...,x10",
// the target and 10 inputs per row, numbers of 6 to 9 significant digits,
// some in exponent form. The same arguments always give the same bytes.
//
// Usage: generate ROWS DATAFILE [KEYFILE]
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "support/key_writer.h"

namespace {

constexpr int INPUTS = 10;
constexpr int GENES = 5;
constexpr unsigned SEED = 20261208;
const std::string OPERATORS(karva::OPERATOR_SYMBOLS);

// A head that starts with `lead` operators (all of them read, since no
// terminal comes before them), then operators and terminals at random, then
// a tail of terminals long enough to close the tree whatever the head is.
std::string gene_symbols(std::mt19937& rng, int letters, int head, const std::string& lead) {
  std::string symbols = lead;
  const auto letter = [&] { return static_cast<char>('a' + rng() % static_cast<unsigned>(letters)); };
  while (static_cast<int>(symbols.size()) < head)
    symbols += rng() % 5 < 3 ? OPERATORS[rng() % OPERATORS.size()] : letter();
  for (int i = 0; i <= head; ++i) symbols += letter();
  return symbols;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "Usage: %s rows datafile [keyfile]\n", argv[0]);
    return 2;
  }
  const long rows = std::strtol(argv[1], nullptr, 10);
  std::mt19937 rng(SEED);
  if (argc == 4) {
    std::vector<karva::testing::GeneSpec> genes;
    for (int j = 0; j < GENES; ++j) {
      const int head = 12 + static_cast<int>(rng() % 8);  // 25 to 39 symbols in all
      // Three leading operators a gene: the five genes read all thirteen.
      std::string lead;
      for (int k = 0; k < 3; ++k) lead += OPERATORS[static_cast<std::size_t>(3 * j + k) % OPERATORS.size()];
      genes.push_back({0.1 * (j + 1), 0.5 + 0.1 * j, gene_symbols(rng, INPUTS + j, head, lead), 0.0});
    }
    if (!karva::testing::write_file(argv[3], karva::testing::key_bytes(INPUTS, genes))) {
      std::fprintf(stderr, "Cannot write file %s.\n", argv[3]);
      return 1;
    }
  }
  std::FILE* out = std::fopen(argv[2], "wb");
  if (!out) {
    std::fprintf(stderr, "Cannot open file %s for writing.\n", argv[2]);
    return 1;
  }
  std::fprintf(out, "y");
  for (int i = 1; i <= INPUTS; ++i) std::fprintf(out, ",x%d", i);
  std::fprintf(out, "\n");
  std::uniform_real_distribution<double> value(-50.0, 50.0);
  for (long r = 0; r < rows; ++r) {
    for (int c = 0; c <= INPUTS; ++c) {
      const int digits = 6 + static_cast<int>(rng() % 4);
      const bool exponent = rng() % 10 == 0;
      std::fprintf(out, exponent ? "%s%.*e" : "%s%.*g", c ? "," : "", exponent ? digits - 1 : digits, value(rng));
    }
    std::fprintf(out, "\n");
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
