#include "serve/metrics.h"

#include <algorithm>

#include "serve/access_log.h"
#include "text/escape.h"
#include "text/printf_text.h"

namespace karva {

void Metrics::begin() {
  const std::lock_guard<std::mutex> lock(mutex_);
  ++in_flight_;
}

void Metrics::end(const std::string& model, const std::string& endpoint, int status,
                  std::chrono::duration<double> took) {
  const std::lock_guard<std::mutex> lock(mutex_);
  --in_flight_;
  ++requests_[{model, endpoint, status}];
  const auto bucket = std::lower_bound(BUCKETS.begin(), BUCKETS.end(), took.count()) - BUCKETS.begin();
  ++latency_[static_cast<std::size_t>(bucket)];
  latency_sum_ += took.count();
}

void Metrics::connected(bool open) {
  const std::lock_guard<std::mutex> lock(mutex_);
  open ? ++connections_ : --connections_;
}

void Metrics::rows_scored(const std::string& model, std::uint64_t rows) {
  const std::lock_guard<std::mutex> lock(mutex_);
  rows_[model] += rows;
}

void Metrics::reloaded(bool good) {
  const std::lock_guard<std::mutex> lock(mutex_);
  ++(good ? reloads_ : reload_failures_);
}

std::string Metrics::text() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::string out =
      "# HELP karva_requests_total Requests answered, by model, endpoint and status.\n"
      "# TYPE karva_requests_total counter\n";
  for (const auto& [key, count] : requests_) {
    const auto& [model, endpoint, status] = key;
    out += "karva_requests_total{model=" + prometheus_label(model) + ",endpoint=" + prometheus_label(endpoint) +
           ",status=\"" + std::to_string(status) + "\"} " + std::to_string(count) + "\n";
  }
  out += "# HELP karva_rows_scored_total Rows scored, by model.\n# TYPE karva_rows_scored_total counter\n";
  for (const auto& [model, rows] : rows_)
    out += "karva_rows_scored_total{model=" + prometheus_label(model) + "} " + std::to_string(rows) + "\n";
  out += "# HELP karva_request_duration_seconds Time from a request read to its answer made.\n"
         "# TYPE karva_request_duration_seconds histogram\n";
  std::uint64_t total = 0;
  for (std::size_t b = 0; b <= BUCKETS.size(); ++b) {
    total += latency_[b];
    const std::string le = b < BUCKETS.size() ? printf_text("%g", BUCKETS[b]) : "+Inf";
    out += "karva_request_duration_seconds_bucket{le=\"" + le + "\"} " + std::to_string(total) + "\n";
  }
  out += printf_text("karva_request_duration_seconds_sum %.9g\n", latency_sum_);
  out += "karva_request_duration_seconds_count " + std::to_string(total) + "\n";
  out += "# HELP karva_requests_in_flight Requests being answered.\n# TYPE karva_requests_in_flight gauge\n";
  out += "karva_requests_in_flight " + std::to_string(in_flight_) + "\n";
  out += "# HELP karva_connections_open Connections accepted and not yet closed.\n"
         "# TYPE karva_connections_open gauge\n";
  out += "karva_connections_open " + std::to_string(connections_) + "\n";
  out += "# HELP karva_reloads_total Keys read again at SIGHUP, and those that failed and kept the old.\n"
         "# TYPE karva_reloads_total counter\n";
  out += "karva_reloads_total " + std::to_string(reloads_) + "\n";
  out += "karva_reload_failures_total " + std::to_string(reload_failures_) + "\n";
  out += "# HELP karva_log_lines_dropped_total Access-log lines dropped while the log was not read.\n"
         "# TYPE karva_log_lines_dropped_total counter\n";
  return out + "karva_log_lines_dropped_total " + std::to_string(log_ ? log_->dropped() : 0) + "\n";
}

}  // namespace karva
