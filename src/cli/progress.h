// A progress line on a terminal for long runs, rewritten in place.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace karva {

// Quick runs show no progress: only those still running after this long.
inline constexpr int DEFAULT_PROGRESS_DELAY_MS = 1000;

class Progress {
 public:
  // Shows nothing unless `enabled` (standard error is a terminal), and
  // nothing before `delay` has passed.
  Progress(std::FILE* err, bool enabled, std::chrono::milliseconds delay);
  void update(std::int64_t rows, std::uint64_t bytes);
  // Erases the line, if one was shown.
  void finish();

 private:
  using Clock = std::chrono::steady_clock;
  std::FILE* err_;
  bool enabled_;
  bool shown_ = false;
  std::chrono::milliseconds delay_;
  Clock::time_point start_;
  Clock::time_point last_;
};

}  // namespace karva
