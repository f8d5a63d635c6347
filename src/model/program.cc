#include "model/program.h"

#include <algorithm>

#include "model/ops.h"

namespace karva {
namespace {

OpCode opcode_of(unsigned char symbol, bool& known) {
  known = true;
  switch (symbol) {
    case '+': return OpCode::ADD;
    case '-': return OpCode::SUB;
    case '*': return OpCode::MUL;
    case '/': return OpCode::DIV;
    case '^': return OpCode::POW;
    case 'A': return OpCode::ABS;
    case 'C': return OpCode::COS;
    case 'D': return OpCode::CUBE_ROOT;
    case 'E': return OpCode::EXP;
    case 'L': return OpCode::LOG;
    case 'Q': return OpCode::SQRT;
    case 'R': return OpCode::ROUND;
    case 'S': return OpCode::SIN;
    default: known = false; return OpCode::ZERO;
  }
}

void emit_zero(std::size_t depth, GeneProgram& program) {
  program.max_depth = std::max(program.max_depth, depth + 1);
  program.code.push_back({OpCode::ZERO, 0});
}

// Emits `node` in postfix order; its value lands at stack position `depth`.
// Children are evaluated for their values only (they print nothing), so a
// child whose value no operation reads is left out.
void emit(const etnode& node, std::string_view terminal_set, std::size_t depth, GeneProgram& program) {
  program.max_depth = std::max(program.max_depth, depth + 1);
  if (node.kind == TERMINAL) {
    const auto k = terminal_set.find(static_cast<char>(node.symbol));
    // A built tree holds only terminals of its own set; a missing one reads
    // 0.0 as in the reference walker.
    if (k == std::string_view::npos)
      emit_zero(depth, program);
    else
      program.code.push_back({OpCode::LOAD, static_cast<std::uint32_t>(k)});
    return;
  }
  bool known = false;
  const OpCode op = opcode_of(node.symbol, known);
  if (!known) {  // 0.0 whatever the children give
    emit_zero(depth, program);
    return;
  }
  // An absent child counts as 0.0.
  const auto operand = [&](const std::unique_ptr<etnode>& child, std::size_t at) {
    if (child)
      emit(*child, terminal_set, at, program);
    else
      emit_zero(at, program);
  };
  operand(node.left, depth);
  if (op <= OpCode::POW) operand(node.right, depth + 1);
  program.code.push_back({op, 0});
}

template <typename F>
void unary(const double* a, double* dst, std::size_t n, F f) {
  for (std::size_t i = 0; i < n; ++i) dst[i] = f(a[i]);
}

template <typename F>
void binary(const double* a, const double* b, double* dst, std::size_t n, F f) {
  for (std::size_t i = 0; i < n; ++i) dst[i] = f(a[i], b[i]);
}

}  // namespace

GeneProgram compile_etree(const etnode& root, std::string_view terminal_set) {
  GeneProgram program;
  emit(root, terminal_set, 0, program);
  return program;
}

void ProgramScratch::reserve(std::size_t depth) {
  if (values_.size() < depth * PROGRAM_BLOCK) values_.resize(depth * PROGRAM_BLOCK);
  if (operands.size() < depth) operands.resize(depth);
}

void run_program(const GeneProgram& program, const double* const* columns, std::size_t begin, std::size_t count,
                 double slope, double intercept, double* out, ProgramScratch& scratch) {
  scratch.reserve(program.max_depth);
  const double** stack = scratch.operands.data();
  std::size_t sp = 0;
  const std::size_t n = count;
  for (const Instruction& in : program.code) {
    switch (in.op) {
      case OpCode::LOAD: stack[sp++] = columns[in.column] + begin; break;
      case OpCode::ZERO:
        std::fill_n(scratch.slot(sp), n, 0.0);
        stack[sp] = scratch.slot(sp);
        ++sp;
        break;
      case OpCode::ADD: case OpCode::SUB: case OpCode::MUL: case OpCode::DIV: case OpCode::POW: {
        const double* a = stack[sp - 2];
        const double* b = stack[sp - 1];
        double* dst = scratch.slot(sp - 2);
        switch (in.op) {
          case OpCode::ADD: binary(a, b, dst, n, ops::add); break;
          case OpCode::SUB: binary(a, b, dst, n, ops::sub); break;
          case OpCode::MUL: binary(a, b, dst, n, ops::mul); break;
          case OpCode::DIV: binary(a, b, dst, n, ops::div); break;
          default: binary(a, b, dst, n, ops::power); break;
        }
        stack[sp - 2] = dst;
        --sp;
        break;
      }
      default: {
        const double* a = stack[sp - 1];
        double* dst = scratch.slot(sp - 1);
        switch (in.op) {
          case OpCode::ABS: unary(a, dst, n, ops::abs); break;
          case OpCode::COS: unary(a, dst, n, ops::cos); break;
          case OpCode::CUBE_ROOT: unary(a, dst, n, ops::cube_root); break;
          case OpCode::EXP: unary(a, dst, n, ops::exp); break;
          case OpCode::LOG: unary(a, dst, n, ops::log); break;
          case OpCode::SQRT: unary(a, dst, n, ops::sqrt); break;
          case OpCode::ROUND: unary(a, dst, n, ops::round); break;
          default: unary(a, dst, n, ops::sin); break;
        }
        stack[sp - 1] = dst;
        break;
      }
    }
  }
  const double* v = stack[0];
  for (std::size_t i = 0; i < n; ++i) {
    const double scaled = v[i] * slope;
    out[i] = scaled + intercept;
  }
}

}  // namespace karva
