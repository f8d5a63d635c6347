#include "model/program.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>
#include <tuple>

#include "model/ops.h"

namespace karva {
namespace {

constexpr std::array<double, PROGRAM_BATCH> ZEROS{};

bool is_binary(OpCode op) { return operator_info(op).arity == 2; }

// Compiles to values numbered like operands, with one fresh value per
// distinct operation in place of a slot; slots are assigned afterwards.
class Compiler {
 public:
  Compiler(std::string_view terminal_set) : terminals_(terminal_set), zero_(terminal_set.size()) {}

  std::size_t value_of(const etnode& node) {
    if (node.kind == NodeKind::TERMINAL) {
      // A built tree holds only terminals of its own set; a missing one
      // reads 0.0 as in the reference walker.
      const auto k = terminals_.find(static_cast<char>(node.symbol));
      return k == std::string_view::npos ? zero_ : k;
    }
    // A symbol with no operation is 0.0 whatever its children give, and
    // evaluating them has no effect.
    const Operator* found_op = operator_of(node.symbol);
    if (!found_op) return zero_;
    const OpCode op = found_op->code;
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

// One operation over a batch, with its evaluation inlined.
template <OpCode OP>
void run_operation(const double* a, const double* b, double* dst, std::size_t n) {
  constexpr auto f = operator_info(OP).evaluate;
  if constexpr (operator_info(OP).arity == 2) {
    for (std::size_t i = 0; i < n; ++i) dst[i] = f(a[i], b[i]);
  } else {
    for (std::size_t i = 0; i < n; ++i) dst[i] = f(a[i], 0.0);
  }
}

}  // namespace

GeneProgram compile_etree(const etnode& root, std::string_view terminal_set) {
  Compiler compiler(terminal_set);
  const std::size_t result = compiler.value_of(root);
  return compiler.finish(result);
}

void ProgramScratch::reserve(std::size_t operands_needed, std::size_t slots) {
  if (size_ < slots * PROGRAM_BATCH) {
    size_ = slots * PROGRAM_BATCH;
    values_ = std::make_unique_for_overwrite<double[]>(size_);
  }
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
    with_operator(in.op, [&](auto op) { run_operation<op.value>(a, b, dst, n); });
  }
  const double* v = operand[program.result];
  for (std::size_t i = 0; i < n; ++i) {
    const double scaled = v[i] * slope;
    out[i] = scaled + intercept;
  }
}

}  // namespace karva
