// The gRPC listener of a karva built without gRPC (-DKARVA_GRPC=OFF, as the
// thread sanitizer's build is, which never serves): --grpc-listen says so.
#include "render/messages.h"
#include "serve/grpc_listener.h"

namespace karva {

struct GrpcListener::Parts {};

GrpcListener::GrpcListener(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}
GrpcListener::~GrpcListener() = default;

Expected<std::unique_ptr<GrpcListener>, std::string> GrpcListener::start(const Transport&) {
  return Unexpected(grpc_not_built_message());
}

std::string GrpcListener::address() const { return ""; }
void GrpcListener::stop(std::chrono::seconds) {}

}  // namespace karva
