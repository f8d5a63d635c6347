// The service's settings: where it listens and its limits, each with a
// default; past a limit, a request is answered with its status and
// nothing else grows.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace karva {

struct ServeSettings {
  std::string host = "127.0.0.1";
  std::uint16_t port = 8080;  // 0: any free port
  // Where V2 over gRPC listens beside HTTP, when it does (--grpc-listen).
  bool grpc = false;
  std::string grpc_host;
  std::uint16_t grpc_port = 0;
  int jobs = 1;               // the pool's threads, which score the large requests one at a time
  std::size_t body_limit = std::size_t{64} << 20;
  std::size_t header_limit = std::size_t{16} << 10;
  std::size_t row_limit = 10'000'000;
  std::chrono::seconds read_timeout{10};  // for a request to arrive, and a compressed body to be decoded
  int max_connections = 256;
  int queue_limit = 64;  // requests being read into rows or scored at once
  // What the bodies being read and the rows being scored may hold at once.
  std::size_t memory_limit = std::size_t{1024} << 20;
  std::uint64_t decoder_memory = std::uint64_t{256} << 20;  // per compressed body, apart from the budget
  std::chrono::seconds drain{10};  // for the requests in flight at a stop
  bool quiet = false;              // no access log
  std::string token;               // when not empty, every endpoint but the health checks needs it
};

}  // namespace karva
