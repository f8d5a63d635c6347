// An expression tree flattened once into postfix order, with every terminal
// already resolved to its column, and run over blocks of rows at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/etree.h"

namespace karva {

enum class OpCode : std::uint8_t {
  LOAD,  // push a column
  ZERO,  // push 0.0: a node whose symbol has no operation
  ADD, SUB, MUL, DIV, POW,
  ABS, COS, CUBE_ROOT, EXP, LOG, SQRT, ROUND, SIN,
};

struct Instruction {
  OpCode op;
  std::uint32_t column;  // LOAD only
};

struct GeneProgram {
  std::vector<Instruction> code;
  std::size_t max_depth = 0;  // stack entries needed while running
};

// `terminal_set` is the set the tree was built with; a terminal's column is
// its position there.
GeneProgram compile_etree(const etnode& root, std::string_view terminal_set);

// Rows are evaluated this many at a time, so that the stack stays in cache.
inline constexpr std::size_t PROGRAM_BLOCK = 256;

// Room for the intermediate values of a program; reused across calls.
class ProgramScratch {
 public:
  double* slot(std::size_t depth) { return values_.data() + depth * PROGRAM_BLOCK; }
  void reserve(std::size_t depth);
  std::vector<const double*> operands;

 private:
  std::vector<double> values_;
};

// out[i] = program(rows begin + i) * slope + intercept for i below count
// (count at most PROGRAM_BLOCK). columns[m] points at the values of column m.
void run_program(const GeneProgram& program, const double* const* columns, std::size_t begin, std::size_t count,
                 double slope, double intercept, double* out, ProgramScratch& scratch);

}  // namespace karva
