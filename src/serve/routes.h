// The service's routes and the protocols' answers: where a request goes,
// read once from its target (for the answer, the metrics and the log), and
// what each endpoint answers, in the Open Inference Protocol (V2) and in
// MLflow's scoring protocol.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "serve/http.h"
#include "serve/metrics.h"
#include "serve/scoring.h"

namespace karva {

enum class Endpoint {
#define ENDPOINT(kind, label, method) kind,
#include "serve/endpoints.def"
};

// Where a request goes: its endpoint, its path and the model its target
// names (by ?model= or /v2/models/NAME/), empty where none.
struct Route {
  Endpoint endpoint = Endpoint::OTHER;
  std::string path;
  std::string model;
  std::string version;  // under /v2/models/NAME/versions/VERSION/; empty elsewhere
};

// The one version of every model: a key is served as it is.
inline constexpr const char* MODEL_VERSION = "1";
// The protocol's extensions the service takes, as its metadata lists them.
inline constexpr std::array<const char*, 1> SERVER_EXTENSIONS = {"binary_tensor_data"};

// The route of a request target, in origin form or absolute form
// (http://host/path), by its path.
Route route_of(std::string_view target);

// The media type of a Content-Type, lower case, without its parameters.
std::string media_type(std::string_view content_type);

// The endpoint's label in the metrics: one of a fixed few.
const char* endpoint_label(Endpoint endpoint);

// An error answer: {"error": "..."} with the fault's status, and the
// headers that status asks for (Retry-After, WWW-Authenticate, Allow).
Response fault_response(const RequestFault& fault, Endpoint endpoint, unsigned version);

// What the service answers, over the models being served.
class Service {
 public:
  Service(ModelStore& models, const ServeSettings& settings, Metrics& metrics, Scoring& scoring)
      : models_(models), settings_(settings), metrics_(metrics), scoring_(scoring) {}

  // What the head of a request already refuses (an unknown endpoint or
  // model, a method or media type not taken, a missing token), before its
  // body is read: the answer to send instead of reading it.
  std::optional<RequestFault> refuses(const Request& head, const Route& route, const Models& models) const;
  // The answer to a request read whole, once `refuses` found nothing in
  // its head; `charge` holds what its body took of the memory budget, and
  // takes what its rows take.
  Response answer(const Request& req, const Route& route, const Models& models, MemoryBudget::Charge& charge);
  // The served model's name that the request is counted under, or empty.
  std::string model_label(const Request& req, const Route& route, const Models& models) const;
  // The models now: a request takes them once, and finishes on them
  // whatever a reload does meanwhile.
  std::shared_ptr<const Models> models() const { return models_.current(); }
  // Whether an Authorization value carries the token, when one is needed.
  bool authorized(std::string_view authorization) const;
  Scoring& scoring() { return scoring_; }

 private:
  Response infer(const Request& req, const ServedModel& model, MemoryBudget::Charge& charge);
  Response invocations(const Request& req, const ServedModel& model, MemoryBudget::Charge& charge);
  const ServedModel* invocations_model(const Request& req, const Route& route, const Models& models,
                                       std::optional<RequestFault>& fault) const;

  ModelStore& models_;
  const ServeSettings& settings_;
  Metrics& metrics_;
  Scoring& scoring_;
};

}  // namespace karva
