#include "cli/progress.h"

#include <algorithm>
#include <string>

#include "text/printf_text.h"


namespace karva {
namespace {

// Long runs update a few times a second.
constexpr std::chrono::milliseconds UPDATE_EVERY{250};
constexpr double BYTES_PER_MB = 1e6;

}  // namespace

Progress::Progress(std::FILE* err, bool enabled, std::chrono::milliseconds delay, std::uint64_t total_bytes)
    : err_(err), enabled_(enabled), delay_(delay), total_(total_bytes), start_(Clock::now()), last_(start_) {}

void Progress::update(std::int64_t rows, std::uint64_t bytes) {
  if (!enabled_) return;
  const auto now = Clock::now();
  if (now - start_ < delay_ || (shown_ && now - last_ < UPDATE_EVERY)) return;
  last_ = now;
  shown_ = true;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  std::string share;
  if (total_ > 0 && bytes > 0) {
    // At the rate so far: the time the rest of the file takes.
    const double done = std::min(1.0, static_cast<double>(bytes) / static_cast<double>(total_));
    share = printf_text(", %.0f%%, about %.0f s left", 100 * done, seconds * (1 - done) / done);
  }
  std::fprintf(err_, "\r%lld rows, %.1f MB read, %.0f rows/s%s\033[K", static_cast<long long>(rows),
               static_cast<double>(bytes) / BYTES_PER_MB, static_cast<double>(rows) / seconds, share.c_str());
  std::fflush(err_);
}

void Progress::finish() {
  if (!shown_) return;
  std::fprintf(err_, "\r\033[K");
  std::fflush(err_);
  shown_ = false;
}

}  // namespace karva
