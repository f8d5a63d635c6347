// An expression tree compiled once into a flat program over blocks of rows:
// terminals resolved to their columns, operations in postfix order, and a
// subtree that occurs more than once computed once (every operation is a
// pure function of its operands, so this changes no bit).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <memory>
#include <vector>

#include "model/etree.h"
#include "model/key.h"
#include "model/ops.h"

namespace karva {

// Operands are numbered: 0 to columns - 1 are the columns, `columns` is a
// block of zeros (a symbol with no operation, an absent child), and
// columns + 1 + s is scratch slot s.
// A program has at most one instruction per symbol, and so at most that many
// slots; every operand number must fit the 16-bit fields below.
static_assert(MAX_TERMINAL_LETTERS + 1 + MAX_SYMBOL_BYTES <= UINT16_MAX,
              "program operands must fit in 16 bits");

struct Instruction {
  OpCode op;
  std::uint16_t slot;  // where the result goes
  std::uint16_t a;
  std::uint16_t b;     // binary operations only
};

struct GeneProgram {
  std::size_t columns = 0;  // the size of the terminal set
  std::size_t slots = 0;    // scratch slots needed
  std::vector<Instruction> code;
  std::uint16_t result = 0;  // the operand holding the tree's value
};

// `terminal_set` is the set the tree was built with; a terminal's column is
// its position there.
GeneProgram compile_etree(const etnode& root, std::string_view terminal_set);

// Rows are evaluated this many at a time, a batch, so that the slots stay
// in cache.
inline constexpr std::size_t PROGRAM_BATCH = 256;

// Room for the intermediate values of programs; reused across calls.
class ProgramScratch {
 public:
  void reserve(std::size_t operands, std::size_t slots);
  double* slot(std::size_t s) { return values_.get() + s * PROGRAM_BATCH; }
  std::vector<const double*> operands;

 private:
  // Every slot is written before it is read: nothing here is set to zero,
  // which for a one-row table would cost far more than the row.
  std::unique_ptr<double[]> values_;
  std::size_t size_ = 0;
};

// out[i] = program(row begin + i) * slope + intercept for i below count
// (count at most PROGRAM_BATCH). columns[m] points at the values of column m.
void run_program(const GeneProgram& program, const double* const* columns, std::size_t begin, std::size_t count,
                 double slope, double intercept, double* out, ProgramScratch& scratch);

}  // namespace karva
