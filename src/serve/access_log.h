// The service's log: its own lines (start, reload, stop) and one line per
// request answered. Lines are written by a thread of their own, so that a
// log nobody reads never stops scoring: past a bounded backlog, request
// lines are dropped and counted; the service's own lines never are.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace karva {

// What a line of the access log says of one request.
struct AccessRecord {
  std::string peer;    // address:port
  std::string method;  // as the client sent them
  std::string target;
  std::string model;   // a served model's name, or empty
  int status = 0;
  std::uint64_t bytes = 0;  // of the answer's body
  std::chrono::duration<double> took{};
};

// "TIME PEER METHOD TARGET MODEL STATUS BYTES SECONDS": the time in RFC
// 3339 (UTC, milliseconds), every client byte escaped, "-" for nothing.
std::string access_line(const AccessRecord& record, std::chrono::system_clock::time_point when);

class AccessLog {
 public:
  // Lines go to `out` (nothing when null); request lines only when not `quiet`.
  AccessLog(std::FILE* out, bool quiet, std::size_t most_backlog_bytes = std::size_t{256} << 10);
  AccessLog(const AccessLog&) = delete;
  AccessLog& operator=(const AccessLog&) = delete;
  ~AccessLog();

  // Whether request lines are written at all.
  bool wants_requests() const { return !quiet_ && out_; }
  // A request answered: dropped, and counted, when the backlog is full.
  void request(const AccessRecord& record);
  // The service's own line, never dropped.
  void say(std::string line);
  // Waits for the backlog to be written, at most `most`; false when the
  // reader of the log did not take it in time. The log may be destroyed
  // only once drained: a writer stuck on a log nobody reads cannot end,
  // and the process must end without waiting for it.
  bool drain(std::chrono::milliseconds most);
  std::uint64_t dropped() const;

 private:
  void write_lines();
  void push(std::string line);

  std::FILE* out_;
  const bool quiet_;
  const std::size_t most_backlog_;
  mutable std::mutex mutex_;
  std::condition_variable more_;
  std::condition_variable written_;
  std::deque<std::string> lines_;
  std::size_t backlog_ = 0;
  std::uint64_t dropped_ = 0;
  bool writing_ = false;  // a line is being written
  bool stopping_ = false;
  std::thread writer_;  // last: it starts once the rest is made; none without a log
};

}  // namespace karva
