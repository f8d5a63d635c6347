// A sink that keeps what a run scored, in file order: the predictions,
// which rows miss an input and, when asked, the targets. The service and
// the Python module gather their rows with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/run.h"

namespace karva {

class CollectSink : public RowSink {
 public:
  struct Limits {
    bool targets = false;                                 // keep the targets too
    std::size_t most_rows = SIZE_MAX;                     // past them, the run stops
    std::function<bool(std::size_t rows)> room_for;       // memory for more rows; false stops the run
  };
  CollectSink() = default;
  explicit CollectSink(Limits limits) : limits_(std::move(limits)) {}

  bool take(const Chunk& chunk) override;
  // After a run whose rows cannot be trusted.
  void forget_rows();

  std::vector<double> predictions;     // NaN where a row misses an input
  std::vector<unsigned char> missing;  // per row: 1 where it misses an input
  std::vector<double> targets;
  bool too_many = false;  // the run stopped at the most rows
  bool no_room = false;   // the run stopped for want of memory

 private:
  Limits limits_;
};

// A sink that also keeps every row's values as the key computed them: its
// inputs, then each gene's value, `width` doubles a row, in file order;
// for a workbook that shows each.
class RowValuesSink : public CollectSink {
 public:
  RowValuesSink(int width, Limits limits) : CollectSink(std::move(limits)), width_(width) {}

  // The rows' values as bytes, for take to gather in file order.
  std::size_t format(const ScoredRows& rows, std::vector<char>& out, std::size_t used) const override;
  bool take(const Chunk& chunk) override;

  std::vector<double> values;

 private:
  int width_;
};

}  // namespace karva
