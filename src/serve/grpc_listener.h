// The Open Inference Protocol over gRPC (inference.GRPCInferenceService),
// beside the HTTP listener: the same models, token, limits, memory budget,
// log and metrics, each call scored by the same core as an HTTP request.
// The transport is gRPC's own; this is the request handler under it.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "base/expected.h"
#include "serve/transport.h"

namespace karva {

class GrpcListener {
 public:
  // Listening on the settings' gRPC address; the message when it cannot.
  static Expected<std::unique_ptr<GrpcListener>, std::string> start(const Transport& transport);
  GrpcListener(const GrpcListener&) = delete;
  GrpcListener& operator=(const GrpcListener&) = delete;
  ~GrpcListener();

  // Where clients reach it, HOST:PORT as gRPC's clients write a target.
  std::string address() const;
  // Takes no more calls and gives those in flight until `drain` has passed;
  // those left then are cancelled.
  void stop(std::chrono::seconds drain);

 private:
  struct Parts;
  explicit GrpcListener(std::unique_ptr<Parts> parts);
  std::unique_ptr<Parts> parts_;
};

}  // namespace karva
