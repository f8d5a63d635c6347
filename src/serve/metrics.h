// What the service has done, in the Prometheus text format: requests by
// model, endpoint and status (a served model's name and one of a fixed
// set of endpoints: never a text a client chose), rows scored, a latency histogram, requests
// in flight, connections open. Shared by every connection's thread.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <tuple>

namespace karva {

class AccessLog;

class Metrics {
 public:
  // A request begins and ends; `model` is empty where none is named.
  void begin();
  void end(const std::string& model, const std::string& endpoint, int status, std::chrono::duration<double> took);
  // A connection is accepted, or ends.
  void connected(bool open);
  void rows_scored(const std::string& model, std::uint64_t rows);
  void reloaded(bool good);
  // Where the count of access-log lines dropped is read from.
  void log_dropped_from(const AccessLog* log) { log_ = log; }
  // The text GET /metrics answers.
  std::string text() const;

 private:
  // Upper bounds of the latency buckets, in seconds; the last is +Inf.
  static constexpr std::array<double, 9> BUCKETS = {0.0005, 0.001, 0.002, 0.005, 0.01, 0.05, 0.1, 0.5, 2.0};

  mutable std::mutex mutex_;
  std::map<std::tuple<std::string, std::string, int>, std::uint64_t> requests_;
  std::map<std::string, std::uint64_t> rows_;
  std::array<std::uint64_t, BUCKETS.size() + 1> latency_{};
  double latency_sum_ = 0;
  std::uint64_t in_flight_ = 0;
  std::uint64_t connections_ = 0;
  std::uint64_t reloads_ = 0;
  std::uint64_t reload_failures_ = 0;
  const AccessLog* log_ = nullptr;
};

}  // namespace karva
