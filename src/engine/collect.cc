#include "engine/collect.h"

#include <algorithm>
#include <cstring>

namespace karva {

bool CollectSink::take(const Chunk& chunk) {
  const std::size_t rows = chunk.predictions.size();
  too_many = predictions.size() + rows > limits_.most_rows;
  no_room = !too_many && limits_.room_for && !limits_.room_for(rows);
  if (too_many || no_room) return false;
  predictions.insert(predictions.end(), chunk.predictions.begin(), chunk.predictions.end());
  for (const unsigned char m : chunk.missing) missing.push_back((m & MISSING_INPUT) != 0 ? 1 : 0);
  if (limits_.targets) targets.insert(targets.end(), chunk.targets.begin(), chunk.targets.end());
  return true;
}

void CollectSink::forget_rows() {
  predictions.clear();
  missing.clear();
  targets.clear();
}

std::size_t RowValuesSink::format(const ScoredRows& rows, std::vector<char>& out, std::size_t used) const {
  const std::size_t count = rows.table.row_count;
  const std::size_t width = static_cast<std::size_t>(width_);
  out.resize(std::max(out.size(), used + count * width * sizeof(double)));
  for (std::size_t row = 0; row < count; ++row)
    for (std::size_t m = 0; m < width; ++m) {
      const double value = rows.table.column(static_cast<int>(m))[row];
      std::memcpy(out.data() + used + (row * width + m) * sizeof(double), &value, sizeof value);
    }
  return used + count * width * sizeof(double);
}

bool RowValuesSink::take(const Chunk& chunk) {
  if (!CollectSink::take(chunk)) return false;
  const std::size_t count = chunk.out_size / sizeof(double);
  const std::size_t at = values.size();
  values.resize(at + count);
  std::memcpy(values.data() + at, chunk.out.data(), count * sizeof(double));
  return true;
}

}  // namespace karva
