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
  // nothing before `delay` has passed. `total_bytes`, when not 0, is the
  // text the run will read (a regular file as it stands): the line then
  // shows the share done and the time left.
  Progress(std::FILE* err, bool enabled, std::chrono::milliseconds delay, std::uint64_t total_bytes = 0);
  void update(std::int64_t rows, std::uint64_t bytes);
  // Erases the line, if one was shown.
  void finish();

 private:
  using Clock = std::chrono::steady_clock;
  std::FILE* err_;
  bool enabled_;
  bool shown_ = false;
  std::chrono::milliseconds delay_;
  std::uint64_t total_;
  Clock::time_point start_;
  Clock::time_point last_;
};

}  // namespace karva
