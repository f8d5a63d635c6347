#include "render/sql_steps.h"

#include <algorithm>
#include <limits>

namespace karva {

int Steps::add_source(std::string name) {
  values_.push_back({name, name, 0, 0});
  return static_cast<int>(values_.size()) - 1;
}

int Steps::add(std::string name, std::string sql, const std::vector<int>& operands) {
  int step = 1;
  for (int o : operands) step = std::max(step, values_[static_cast<std::size_t>(o)].step + 1);
  for (int o : operands) {
    Value& used = values_[static_cast<std::size_t>(o)];
    used.last_use = std::max(used.last_use, step);
  }
  values_.push_back({std::move(name), std::move(sql), step, step});
  last_ = std::max(last_, step);
  return static_cast<int>(values_.size()) - 1;
}

void Steps::keep_to_the_end(int v) { values_[static_cast<std::size_t>(v)].last_use = std::numeric_limits<int>::max(); }

std::vector<std::string> Steps::bodies() const {
  // The values of each step, and those alive after the step before: one
  // pass over the values, however many steps.
  std::vector<std::vector<std::size_t>> computed(static_cast<std::size_t>(last_) + 1);
  for (std::size_t i = 0; i < values_.size(); ++i) computed[static_cast<std::size_t>(values_[i].step)].push_back(i);
  std::vector<std::size_t> alive = computed[0];
  std::vector<std::string> bodies;
  for (int k = 1; k <= last_; ++k) {
    std::vector<std::size_t> columns;
    for (std::size_t i : alive)
      if (values_[i].last_use > k) columns.push_back(i);
    alive = columns;
    columns.insert(columns.end(), computed[static_cast<std::size_t>(k)].begin(), computed[static_cast<std::size_t>(k)].end());
    std::sort(columns.begin(), columns.end());
    std::string text;
    for (std::size_t i : columns) {
      const Value& v = values_[i];
      text += (text.empty() ? "" : ", ") + (v.step == k ? v.sql + " AS " + v.name : v.name);
      if (v.step == k && v.last_use > k) alive.push_back(i);
    }
    bodies.push_back("SELECT " + text + " FROM " + step_name(k - 1));
  }
  return bodies;
}

std::string staged_statements(const Steps& steps, const std::string& source, const std::string& final_select,
                              const SqlEngineRow& engine, int most) {
  const std::vector<std::string> bodies = steps.bodies();
  const std::string source_kind = engine.materialized_source ? " AS MATERIALIZED (" : " AS (";
  const std::string step_kind = engine.materialized_steps ? " AS MATERIALIZED (" : " AS (";
  // The WITH clause of the steps after `from` and before `to` (the source's too, after none).
  const auto with = [&](int from, int to) {
    std::string text = from == 0 ? steps.step_name(0) + source_kind + source + ")" : "";
    for (int k = from + 1; k < to; ++k)
      text += (text.empty() ? "" : ",\n") + steps.step_name(k) + step_kind +
              bodies[static_cast<std::size_t>(k - 1)] + ")";
    return text.empty() ? text : "WITH " + text + "\n";
  };
  std::string text;
  std::string drops;
  int from = 0;
  for (int boundary = most; boundary < steps.last(); boundary += most) {
    text += "CREATE TEMP TABLE " + steps.step_name(boundary) + " AS " + with(from, boundary) +
            bodies[static_cast<std::size_t>(boundary - 1)] + ";\n";
    drops += "DROP TABLE " + std::string(engine.temporary_schema) + steps.step_name(boundary) + ";\n";
    from = boundary;
  }
  return text + with(from, steps.last() + 1) + final_select + drops;
}

}  // namespace karva
