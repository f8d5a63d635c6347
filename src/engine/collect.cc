#include "engine/collect.h"

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

}  // namespace karva
