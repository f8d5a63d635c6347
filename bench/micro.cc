// Micro-benchmarks of the three hot stages: parsing fields, evaluating a
// gene over rows, and formatting predictions, each beside its reference.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "model/apply.h"
#include "support/tree_walker.h"
#include "text/number.h"

namespace {

constexpr std::size_t SAMPLE = 4096;

std::vector<std::string> sample_tokens() {
  std::mt19937 rng(1);
  std::uniform_real_distribution<double> value(-50.0, 50.0);
  std::vector<std::string> tokens;
  char buf[64];
  for (std::size_t i = 0; i < SAMPLE; ++i) {
    std::snprintf(buf, sizeof buf, i % 10 ? "%.*g" : "%.*e", 6 + static_cast<int>(i % 4), value(rng));
    tokens.emplace_back(buf);
  }
  return tokens;
}

std::vector<double> sample_values() {
  std::mt19937 rng(2);
  std::uniform_real_distribution<double> value(-1e4, 1e4);
  std::vector<double> values(SAMPLE);
  for (double& v : values) v = value(rng);
  return values;
}

void BM_ParseNumber(benchmark::State& state) {
  const auto tokens = sample_tokens();
  for (auto _ : state)
    for (const auto& t : tokens) benchmark::DoNotOptimize(karva::parse_number(t));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * tokens.size()));
}
BENCHMARK(BM_ParseNumber);

void BM_Strtod(benchmark::State& state) {
  const auto tokens = sample_tokens();
  for (auto _ : state)
    for (const auto& t : tokens) benchmark::DoNotOptimize(std::strtod(t.c_str(), nullptr));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * tokens.size()));
}
BENCHMARK(BM_Strtod);

void BM_FormatFixed(benchmark::State& state) {
  const auto values = sample_values();
  char buf[karva::MAX_FIXED_CHARS];
  for (auto _ : state)
    for (double v : values) benchmark::DoNotOptimize(karva::format_fixed(buf, v, 6));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * values.size()));
}
BENCHMARK(BM_FormatFixed);

void BM_Snprintf(benchmark::State& state) {
  const auto values = sample_values();
  char buf[karva::MAX_FIXED_CHARS];
  for (auto _ : state)
    for (double v : values) benchmark::DoNotOptimize(std::snprintf(buf, sizeof buf, "%f", v));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * values.size()));
}
BENCHMARK(BM_Snprintf);

// One gene of 31 symbols over 10 inputs, every operator in it.
const std::string GENE = "+-*/^ACDELQRSabcdefghijabcdefgh";
constexpr int INPUTS = 10;

std::vector<std::vector<double>> sample_rows() {
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> value(-50.0, 50.0);
  std::vector<std::vector<double>> rows(INPUTS, std::vector<double>(SAMPLE));
  for (auto& column : rows)
    for (double& v : column) v = value(rng);
  return rows;
}

void BM_RunProgram(benchmark::State& state) {
  const std::string terminals = karva::terminal_letters(INPUTS);
  const auto tree = karva::build_etree(GENE, terminals, karva::UNARY_FUNCTIONS, karva::BINARY_OPERATORS, nullptr,
                                       nullptr);
  const karva::GeneProgram program = karva::compile_etree(*tree, terminals);
  const auto columns = sample_rows();
  std::vector<const double*> pointers;
  for (const auto& c : columns) pointers.push_back(c.data());
  std::vector<double> out(SAMPLE);
  karva::ProgramScratch scratch;
  for (auto _ : state) {
    for (std::size_t begin = 0; begin < SAMPLE; begin += karva::PROGRAM_BATCH)
      karva::run_program(program, pointers.data(), begin, karva::PROGRAM_BATCH, 2.0, 0.5, out.data() + begin,
                         scratch);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * SAMPLE));
}
BENCHMARK(BM_RunProgram);

void BM_EvalEtnode(benchmark::State& state) {
  const std::string terminals = karva::terminal_letters(INPUTS);
  const auto tree = karva::build_etree(GENE, terminals, karva::UNARY_FUNCTIONS, karva::BINARY_OPERATORS, nullptr,
                                       nullptr);
  const auto columns = sample_rows();
  std::vector<std::vector<double>> rows(SAMPLE, std::vector<double>(INPUTS));
  for (std::size_t i = 0; i < SAMPLE; ++i)
    for (int m = 0; m < INPUTS; ++m) rows[i][static_cast<std::size_t>(m)] = columns[static_cast<std::size_t>(m)][i];
  for (auto _ : state)
    for (const auto& row : rows) benchmark::DoNotOptimize(karva::eval_etnode(tree.get(), terminals, row.data(), stderr));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * SAMPLE));
}
BENCHMARK(BM_EvalEtnode);

}  // namespace

BENCHMARK_MAIN();
