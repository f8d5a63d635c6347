#include "model/program.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <tuple>

#include "model/ops.h"

namespace karva {
namespace {

constexpr std::array<double, PROGRAM_BLOCK> ZEROS{};

bool is_binary(OpCode op) { return op <= OpCode::POW; }

bool opcode_of(unsigned char symbol, OpCode& op) {
  switch (symbol) {
    case '+': op = OpCode::ADD; return true;
    case '-': op = OpCode::SUB; return true;
    case '*': op = OpCode::MUL; return true;
    case '/': op = OpCode::DIV; return true;
    case '^': op = OpCode::POW; return true;
    case 'A': op = OpCode::ABS; return true;
    case 'C': op = OpCode::COS; return true;
    case 'D': op = OpCode::CUBE_ROOT; return true;
    case 'E': op = OpCode::EXP; return true;
    case 'L': op = OpCode::LOG; return true;
    case 'Q': op = OpCode::SQRT; return true;
    case 'R': op = OpCode::ROUND; return true;
    case 'S': op = OpCode::SIN; return true;
    default: return false;
  }
}

// Compiles to values numbered like operands, with one fresh value per
// distinct operation in place of a slot; slots are assigned afterwards.
class Compiler {
 public:
  Compiler(std::string_view terminal_set) : terminals_(terminal_set), zero_(terminal_set.size()) {}

  std::size_t value_of(const etnode& node) {
    if (node.kind == TERMINAL) {
      // A built tree holds only terminals of its own set; a missing one
      // reads 0.0 as in the reference walker.
      const auto k = terminals_.find(static_cast<char>(node.symbol));
      return k == std::string_view::npos ? zero_ : k;
    }
    OpCode op{};
    // A symbol with no operation is 0.0 whatever its children give, and
    // evaluating them has no effect.
    if (!opcode_of(node.symbol, op)) return zero_;
    const std::size_t a = node.left ? value_of(*node.left) : zero_;
    const std::size_t b = is_binary(op) ? (node.right ? value_of(*node.right) : zero_) : zero_;
    const auto key = std::make_tuple(op, a, b);
    const auto found = seen_.find(key);
    if (found != seen_.end()) return found->second;
    const std::size_t value = zero_ + 1 + code_.size();
    code_.push_back({op, a, b, value});
    seen_.emplace(key, value);
    return value;
  }

  GeneProgram finish(std::size_t result) {
    GeneProgram program;
    program.columns = terminals_.size();
    const std::size_t first_value = zero_ + 1;
    // The last instruction reading each value; its slot is free after that.
    std::vector<std::size_t> last_use(code_.size(), 0);
    for (std::size_t i = 0; i < code_.size(); ++i) {
      for (std::size_t operand : {code_[i].a, code_[i].b})
        if (operand >= first_value) last_use[operand - first_value] = i;
    }
    if (result >= first_value) last_use[result - first_value] = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> slot_of(code_.size());
    std::vector<std::size_t> free_slots;
    std::vector<bool> is_free;
    const auto operand = [&](std::size_t v) {
      return static_cast<std::uint16_t>(v < first_value ? v : first_value + slot_of[v - first_value]);
    };
    for (std::size_t i = 0; i < code_.size(); ++i) {
      const Pending& p = code_[i];
      Instruction in{p.op, 0, operand(p.a), operand(p.b)};
      // Operands used for the last time give their slots back first: an
      // operation may write over its own operand, element by element.
      for (std::size_t v : {p.a, p.b}) {
        if (v < first_value || last_use[v - first_value] != i) continue;
        const std::size_t freed = slot_of[v - first_value];
        if (!is_free[freed]) {
          is_free[freed] = true;
          free_slots.push_back(freed);
        }
      }
      std::size_t slot = program.slots;
      if (!free_slots.empty()) {
        slot = free_slots.back();
        free_slots.pop_back();
        is_free[slot] = false;
      } else {
        ++program.slots;
        is_free.push_back(false);
      }
      slot_of[i] = slot;
      in.slot = static_cast<std::uint16_t>(slot);
      program.code.push_back(in);
    }
    program.result = operand(result);
    return program;
  }

 private:
  struct Pending {
    OpCode op;
    std::size_t a;
    std::size_t b;
    std::size_t value;
  };
  std::string_view terminals_;
  std::size_t zero_;
  std::vector<Pending> code_;
  std::map<std::tuple<OpCode, std::size_t, std::size_t>, std::size_t> seen_;
};

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
  Compiler compiler(terminal_set);
  const std::size_t result = compiler.value_of(root);
  return compiler.finish(result);
}

void ProgramScratch::reserve(std::size_t operands_needed, std::size_t slots) {
  if (values_.size() < slots * PROGRAM_BLOCK) values_.resize(slots * PROGRAM_BLOCK);
  if (operands.size() < operands_needed) operands.resize(operands_needed);
}

void run_program(const GeneProgram& program, const double* const* columns, std::size_t begin, std::size_t count,
                 double slope, double intercept, double* out, ProgramScratch& scratch) {
  const std::size_t first_slot = program.columns + 1;
  scratch.reserve(first_slot + program.slots, program.slots);
  const double** operand = scratch.operands.data();
  for (std::size_t m = 0; m < program.columns; ++m) operand[m] = columns[m] + begin;
  operand[program.columns] = ZEROS.data();
  for (std::size_t s = 0; s < program.slots; ++s) operand[first_slot + s] = scratch.slot(s);
  const std::size_t n = count;
  for (const Instruction& in : program.code) {
    const double* a = operand[in.a];
    const double* b = operand[in.b];
    double* dst = scratch.slot(in.slot);
    switch (in.op) {
      case OpCode::ADD: binary(a, b, dst, n, ops::add); break;
      case OpCode::SUB: binary(a, b, dst, n, ops::sub); break;
      case OpCode::MUL: binary(a, b, dst, n, ops::mul); break;
      case OpCode::DIV: binary(a, b, dst, n, ops::div); break;
      case OpCode::POW: binary(a, b, dst, n, ops::power); break;
      case OpCode::ABS: unary(a, dst, n, ops::abs); break;
      case OpCode::COS: unary(a, dst, n, ops::cos); break;
      case OpCode::CUBE_ROOT: unary(a, dst, n, ops::cube_root); break;
      case OpCode::EXP: unary(a, dst, n, ops::exp); break;
      case OpCode::LOG: unary(a, dst, n, ops::log); break;
      case OpCode::SQRT: unary(a, dst, n, ops::sqrt); break;
      case OpCode::ROUND: unary(a, dst, n, ops::round); break;
      case OpCode::SIN: unary(a, dst, n, ops::sin); break;
    }
  }
  const double* v = operand[program.result];
  for (std::size_t i = 0; i < n; ++i) {
    const double scaled = v[i] * slope;
    out[i] = scaled + intercept;
  }
}

}  // namespace karva
