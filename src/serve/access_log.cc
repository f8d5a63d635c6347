#include "serve/access_log.h"

#include <ctime>

#include "text/escape.h"
#include "text/printf_text.h"

namespace karva {

std::string access_line(const AccessRecord& r, std::chrono::system_clock::time_point when) {
  const auto since = when.time_since_epoch();
  const std::time_t seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
  return printf_text("%s.%03dZ ", stamp, static_cast<int>(millis)) + log_field(r.peer) + " " + log_field(r.method) +
         " " + log_field(r.target) + " " + log_field(r.model) + " " + std::to_string(r.status) + " " +
         std::to_string(r.bytes) + printf_text(" %.6f\n", r.took.count());
}

AccessLog::AccessLog(std::FILE* out, bool quiet, std::size_t most_backlog_bytes)
    : out_(out), quiet_(quiet), most_backlog_(most_backlog_bytes) {
  if (out_) writer_ = std::thread([this] { write_lines(); });
}

AccessLog::~AccessLog() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  more_.notify_all();
  if (writer_.joinable()) writer_.join();
}

void AccessLog::request(const AccessRecord& record) {
  if (quiet_ || !out_) return;
  std::string line = access_line(record, std::chrono::system_clock::now());
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (backlog_ + line.size() > most_backlog_) {
      ++dropped_;
      return;
    }
    backlog_ += line.size();
    lines_.push_back(std::move(line));
  }
  more_.notify_one();
}

void AccessLog::say(std::string line) {
  if (!out_) return;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    backlog_ += line.size();
    lines_.push_back(std::move(line));
  }
  more_.notify_one();
}

bool AccessLog::drain(std::chrono::milliseconds most) {
  std::unique_lock<std::mutex> lock(mutex_);
  return written_.wait_for(lock, most, [&] { return lines_.empty() && !writing_; });
}

std::uint64_t AccessLog::dropped() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

void AccessLog::write_lines() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    more_.wait(lock, [&] { return stopping_ || !lines_.empty(); });
    if (lines_.empty()) return;  // stopping, and all written
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    writing_ = true;
    lock.unlock();
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fflush(out_);
    lock.lock();
    writing_ = false;
    backlog_ -= line.size();
    written_.notify_all();
  }
}

}  // namespace karva
