#include "serve/grpc_listener.h"

#include <grpc/grpc.h>
#include <grpc/support/log.h>
#include <grpcpp/grpcpp.h>

#include <climits>
#include <future>
#include <thread>

#include "grpc_predict_v2.grpc.pb.h"
#include "serve/request_grpc.h"

namespace karva {
namespace {

using Kind = RequestFault::Kind;
namespace v2 = inference;
using Clock = std::chrono::steady_clock;
using Context = grpc::CallbackServerContext;
using Reactor = grpc::ServerUnaryReactor;

// A fault's status in gRPC's codes, from its HTTP status: the same answer
// in the other protocol's terms.
grpc::StatusCode grpc_code(int http_status) {
  switch (http_status) {
    case 400: return grpc::StatusCode::INVALID_ARGUMENT;
    case 401: return grpc::StatusCode::UNAUTHENTICATED;
    case 404: return grpc::StatusCode::NOT_FOUND;
    case 408: return grpc::StatusCode::DEADLINE_EXCEEDED;
    case 413: return grpc::StatusCode::RESOURCE_EXHAUSTED;
    case 503: return grpc::StatusCode::UNAVAILABLE;
    default: return grpc::StatusCode::INTERNAL;
  }
}

// The client's address as the access log writes peers: without gRPC's
// "ipv4:" or "ipv6:".
std::string peer_of(const Context& ctx) {
  const std::string peer = ctx.peer();
  const std::size_t colon = peer.find(':');
  return peer.starts_with("ipv") && colon != std::string::npos ? peer.substr(colon + 1) : peer;
}

std::string_view metadata_value(const Context& ctx, const char* key) {
  const auto& metadata = ctx.client_metadata();
  const auto found = metadata.find(key);
  return found == metadata.end() ? std::string_view() : std::string_view(found->second.data(), found->second.size());
}

// The methods, each over the transport's parts; every call is logged and
// counted as an HTTP request to the same endpoint is, with the status the
// same answer has there.
class V2Service final : public v2::GRPCInferenceService::CallbackService {
 public:
  explicit V2Service(const Transport& t) : t_(t) {}

  Reactor* ServerLive(Context* ctx, const v2::ServerLiveRequest*, v2::ServerLiveResponse* r) override {
    return call(*ctx, Endpoint::HEALTH_LIVE, "ServerLive", *r, [&](std::string&) {
      r->set_live(true);
      return std::optional<RequestFault>();
    });
  }
  Reactor* ServerReady(Context* ctx, const v2::ServerReadyRequest*, v2::ServerReadyResponse* r) override {
    return call(*ctx, Endpoint::HEALTH_READY, "ServerReady", *r, [&](std::string&) {
      r->set_ready(true);
      return std::optional<RequestFault>();
    });
  }
  Reactor* ServerMetadata(Context* ctx, const v2::ServerMetadataRequest*, v2::ServerMetadataResponse* r) override {
    return call(*ctx, Endpoint::SERVER, "ServerMetadata", *r, [&](std::string&) {
      r->set_name("karva");
      r->set_version(KARVA_VERSION);
      for (const char* e : SERVER_EXTENSIONS) r->add_extensions(e);
      return std::optional<RequestFault>();
    });
  }
  Reactor* ModelReady(Context* ctx, const v2::ModelReadyRequest* q, v2::ModelReadyResponse* r) override {
    return call(*ctx, Endpoint::MODEL_READY, "ModelReady", *r, [&](std::string& label) {
      std::optional<RequestFault> fault;
      if (model(q->name(), q->version(), label, fault)) r->set_ready(true);
      return fault;
    });
  }
  Reactor* ModelMetadata(Context* ctx, const v2::ModelMetadataRequest* q, v2::ModelMetadataResponse* r) override {
    return call(*ctx, Endpoint::MODEL, "ModelMetadata", *r, [&](std::string& label) {
      std::optional<RequestFault> fault;
      if (const std::shared_ptr<const ServedModel> m = model(q->name(), q->version(), label, fault)) metadata(*m, *r);
      return fault;
    });
  }
  Reactor* ModelInfer(Context* ctx, const v2::ModelInferRequest* q, v2::ModelInferResponse* r) override {
    return call(*ctx, Endpoint::INFER, "ModelInfer", *r, [&](std::string& label) {
      std::optional<RequestFault> fault;
      if (const std::shared_ptr<const ServedModel> m = model(q->model_name(), q->model_version(), label, fault))
        fault = infer(*q, *m, *r);
      return fault;
    });
  }

 private:
  static Reactor* finish(Context* ctx, const grpc::Status& status) {
    grpc::ServerUnaryReactor* reactor = ctx->DefaultReactor();
    reactor->Finish(status);
    return reactor;
  }
  // Runs `body` for a call the token lets through, and answers: each
  // call is answered at once, on the thread gRPC runs it on.
  template <typename Body>
  Reactor* call(Context& ctx, Endpoint endpoint, const char* method, const google::protobuf::Message& answer, Body&& body);
  std::shared_ptr<const ServedModel> model(const std::string& name, const std::string& version, std::string& label,
                                           std::optional<RequestFault>& fault) const;
  static void metadata(const ServedModel& m, v2::ModelMetadataResponse& r);
  std::optional<RequestFault> infer(const v2::ModelInferRequest& q, const ServedModel& m, v2::ModelInferResponse& r);

  const Transport& t_;
};

template <typename Body>
Reactor* V2Service::call(Context& ctx, Endpoint endpoint, const char* method, const google::protobuf::Message& answer,
                         Body&& body) {
  const Clock::time_point began = Clock::now();
  t_.metrics.begin();
  std::string label;
  const bool health = endpoint == Endpoint::HEALTH_LIVE || endpoint == Endpoint::HEALTH_READY;
  const std::optional<RequestFault> fault = health || t_.service.authorized(metadata_value(ctx, "authorization"))
                                                ? body(label)
                                                : std::optional(RequestFault{Kind::UNAUTHORIZED});
  const int status = fault ? request_fault_status(fault->kind) : 200;
  const std::chrono::duration<double> took = Clock::now() - began;
  t_.metrics.end(label, endpoint_label(endpoint), status, took);
  if (t_.log.wants_requests())
    t_.log.request({peer_of(ctx), "gRPC", std::string("/inference.GRPCInferenceService/") + method, label, status,
                    fault ? 0 : answer.ByteSizeLong(), took});
  Reactor* reactor = ctx.DefaultReactor();
  reactor->Finish(fault ? grpc::Status(grpc_code(status), request_fault_message(*fault)) : grpc::Status::OK);
  return reactor;
}

// The model a call names, held for the call whatever a reload does; the
// fault when it names none being served, or a version it does not have.
std::shared_ptr<const ServedModel> V2Service::model(const std::string& name, const std::string& version,
                                                    std::string& label, std::optional<RequestFault>& fault) const {
  const std::shared_ptr<const Models> models = t_.service.models();
  const ServedModel* found = find_model(*models, name);
  if (!found) fault = RequestFault{Kind::NO_SUCH_MODEL, name};
  else if (!version.empty() && version != MODEL_VERSION) fault = RequestFault{Kind::NO_SUCH_VERSION, name, version};
  if (!found) return nullptr;
  label = found->name;
  return fault ? nullptr : std::shared_ptr<const ServedModel>(models, found);
}

void V2Service::metadata(const ServedModel& m, v2::ModelMetadataResponse& r) {
  r.set_name(m.name);
  r.add_versions(std::string(MODEL_VERSION));
  r.set_platform("karva");
  auto add = [](auto& tensor, const std::string& name) {
    tensor.set_name(name);
    tensor.set_datatype("FP64");
    tensor.add_shape(-1);
  };
  for (const std::string& name : m.inputs) add(*r.add_inputs(), name);
  add(*r.add_outputs(), OUTPUT_NAME);
}

std::optional<RequestFault> V2Service::infer(const v2::ModelInferRequest& q, const ServedModel& m,
                                             v2::ModelInferResponse& r) {
  Scoring& scoring = t_.service.scoring();
  const std::optional<Scoring::Place> place = scoring.admit();
  if (!place) return RequestFault{Kind::BUSY};
  // The message as protobuf holds it, parsed: about its size on the wire.
  const std::size_t bytes = q.ByteSizeLong();
  MemoryBudget::Charge charge = t_.budget.charge();
  if (!t_.budget.could_hold(bytes)) return RequestFault{Kind::OVER_BUDGET, "", "", t_.budget.limit() >> 20};
  if (!charge.grow(bytes)) return RequestFault{Kind::NO_MEMORY};
  Expected<InferRequest, RequestFault> request = grpc_inputs(q, m.inputs, scoring.limits(m, charge), bytes);
  if (!request) return request.error();
  const Scored s = scoring.rows(m, request->rows);
  t_.metrics.rows_scored(m.name, request->rows.rows);
  grpc_answer(*request, m.name, s, r);
  return std::nullopt;
}

// A host as a gRPC target writes it: an IPv6 address in brackets.
std::string target_host(const std::string& host) {
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace

struct GrpcListener::Parts {
  explicit Parts(const Transport& t) : service(t) {}
  V2Service service;
  std::unique_ptr<grpc::Server> server;
  std::string address;
};

GrpcListener::GrpcListener(std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}
GrpcListener::~GrpcListener() = default;

Expected<std::unique_ptr<GrpcListener>, std::string> GrpcListener::start(const Transport& t) {
  const ServeSettings& s = t.settings;
  // Protobuf would write a line to standard error for every message a
  // client spoils (a name that is not UTF-8): a flood a client controls.
  // Such a call fails as any other bad message does.
  google::protobuf::SetLogHandler(nullptr);
  // gRPC's own lines (an address that does not resolve, a client gone)
  // would reach standard error beside the access log; what matters is said
  // once, in karva's words, or answered to the client.
  gpr_set_log_function([](gpr_log_func_args*) {});
  auto parts = std::make_unique<Parts>(t);
  const std::string where = target_host(s.grpc_host) + ":" + std::to_string(s.grpc_port);
  int port = 0;
  grpc::ServerBuilder builder;
  builder.AddListeningPort(where, grpc::InsecureServerCredentials(), &port);
  builder.RegisterService(&parts->service);
  builder.SetMaxReceiveMessageSize(static_cast<int>(std::min<std::size_t>(s.body_limit, INT_MAX)));
  // gRPC's own buffers and threads, held to the service's limits.
  grpc::ResourceQuota quota("karva-grpc");
  quota.Resize(s.memory_limit);
  quota.SetMaxThreads(s.max_connections);
  builder.SetResourceQuota(quota);
  parts->server = builder.BuildAndStart();
  if (!parts->server || port == 0) return Unexpected(cannot_listen_grpc_message(where));
  parts->address = target_host(s.grpc_host) + ":" + std::to_string(port);
  return std::unique_ptr<GrpcListener>(new GrpcListener(std::move(parts)));
}

std::string GrpcListener::address() const { return parts_->address; }

// Not Shutdown with a deadline: its timer would outlive an early end.
void GrpcListener::stop(std::chrono::seconds drain) {
  grpc::Server& server = *parts_->server;
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  std::thread shutdown([&] {
    server.Shutdown();
    done.set_value();
  });
  if (finished.wait_for(drain) == std::future_status::timeout) grpc_server_cancel_all_calls(server.c_server());
  shutdown.join();
  server.Wait();
  // What is left is gRPC's own teardown, which waits for timers of the
  // connections still open (up to 10 s after every call has ended) for a
  // process about to end anyway: the parts are kept, reachable, never torn
  // down.
  [[maybe_unused]] static Parts* kept = nullptr;
  kept = parts_.release();
}

}  // namespace karva
