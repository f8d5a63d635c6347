// The values a SQL statement computes, step by step: each step computes
// what depends only on earlier steps, so that every expression reads its
// operands as columns (SQLite would otherwise substitute a step into the
// next and compute an operand as often as it is named). Steps chain as
// common table expressions; a long chain is cut into statements of a
// bounded number of steps, each ending in a temporary table the next reads,
// so that no engine meets a chain deeper than it can plan, whatever the key.
#pragma once

#include <string>
#include <vector>

#include "render/sql_engines.h"

namespace karva {

class Steps {
 public:
  explicit Steps(std::string prefix) : prefix_(std::move(prefix)) {}
  // A column of the source is step 0; everything computed is step 1 or later.
  int add_source(std::string name);
  // A value computed by `sql` over `operands`, in the step after the last of theirs.
  int add(std::string name, std::string sql, const std::vector<int>& operands);
  const std::string& name(int v) const { return values_[static_cast<std::size_t>(v)].name; }
  void keep_to_the_end(int v);
  std::string step_name(int k) const { return prefix_ + (k == 0 ? "source" : "step" + std::to_string(k)); }
  // The number of the last step.
  int last() const { return last_; }
  // Every step's SELECT, from the first on: what it computes and what later
  // steps read of earlier ones, from the step before.
  std::vector<std::string> bodies() const;

 private:
  struct Value {
    std::string name;
    std::string sql;  // over the names of earlier steps
    int step = 0;
    int last_use = 0;
  };
  // Before the steps' names: one that no step's name shares with the table
  // scored, which a step of its name would hide ("circular reference").
  std::string prefix_;
  std::vector<Value> values_;
  int last_ = 0;
};

// The most steps one statement chains: DuckDB plans at most 1 000 levels
// of expression, each step one and its expressions a few more.
inline constexpr int MOST_STEPS_A_STATEMENT = 256;

// The statements that compute every step: `source` (the step before the
// first), then the steps, `most` at most a statement, the last statement
// `final_select` over the last step; each materialized as the engine
// needs. The statements before the last make temporary tables, dropped
// after it.
std::string staged_statements(const Steps& steps, const std::string& source, const std::string& final_select,
                              const SqlEngineRow& engine, int most = MOST_STEPS_A_STATEMENT);

// How many statements `steps` takes.
inline int statements_for(const Steps& steps, int most = MOST_STEPS_A_STATEMENT) {
  return steps.last() <= 0 ? 1 : (steps.last() + most - 1) / most;
}

}  // namespace karva
