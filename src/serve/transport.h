// The service's HTTP transport: connections on threads of their own, each
// read and write held to a deadline, requests read head first (so that
// what the head refuses is answered before a body is taken, and
// Expect: 100-continue is answered), bodies charged to the memory budget
// as they arrive, a stop that answers the requests begun. Every request
// answered, read or not, is logged and counted.
#pragma once

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "serve/access_log.h"
#include "serve/budget.h"
#include "serve/metrics.h"
#include "serve/routes.h"
#include "serve/settings.h"

namespace karva {

// The connections being served, counted against their limit, so that a
// stop can wait for the requests in flight.
class Connections {
 public:
  bool enter(int fd, int most);
  void leave(int fd);
  bool wait_empty(std::chrono::seconds most);

 private:
  std::mutex mutex_;
  std::condition_variable left_;
  std::set<int> open_;
};

// The stop, as every connection sees it: a descriptor that becomes
// readable once, so that a connection waiting for its next request can
// wait for that too.
class StopEvent {
 public:
  StopEvent();
  StopEvent(const StopEvent&) = delete;
  StopEvent& operator=(const StopEvent&) = delete;
  ~StopEvent();
  void raise();
  // -1 when there is none: then an idle connection ends at its read timeout.
  int fd() const { return fd_; }

 private:
  int fd_;
};

// What every connection's thread shares, for as long as the service runs.
struct Transport {
  Service& service;
  const ServeSettings& settings;
  Metrics& metrics;
  AccessLog& log;
  MemoryBudget& budget;
  Connections& connections;
  const StopEvent& stop;
  const std::atomic<bool>& stopping;
};

// A connection accepted: on a thread of its own, or, past the limit,
// answered 503 at once.
void start_session(boost::asio::ip::tcp::socket socket, const Transport& transport);

// What the service writes back for `raw`, the bytes a client sent on one
// connection (requests one after another), when the client then hangs up:
// the same answers as a connection gives, without a socket or a thread
// (for the fuzz target and the tests).
std::string answer_bytes(const Transport& transport, std::string_view raw);

}  // namespace karva
