#include "serve/routes.h"

#include <array>
#include <bit>
#include <cctype>
#include <charconv>

#include "text/escape.h"

namespace karva {
namespace {

using Kind = RequestFault::Kind;

struct EndpointRow {
  const char* label;
  http::verb method;
};

constexpr std::array ENDPOINTS = {
#define ENDPOINT(kind, label, method) EndpointRow{label, http::verb::method},
#include "serve/endpoints.def"
};

const EndpointRow& row_of(Endpoint e) { return ENDPOINTS[static_cast<std::size_t>(e)]; }

// The value of `key` in the target's query; empty when it has none.
std::string query_value(std::string_view target, std::string_view key) {
  const std::size_t q = target.find('?');
  if (q == std::string_view::npos) return "";
  for (std::size_t at = q + 1; at < target.size();) {
    const std::size_t amp = std::min(target.find('&', at), target.size());
    const std::string_view pair = target.substr(at, amp - at);
    if (pair.size() > key.size() && pair.starts_with(key) && pair[key.size()] == '=')
      return std::string(pair.substr(key.size() + 1));
    at = amp + 1;
  }
  return "";
}

// The path and query of an absolute-form target (http://host:port/p?q).
std::string_view origin_form(std::string_view target) {
  const std::size_t scheme = target.find("://");
  if (target.starts_with('/') || scheme == std::string_view::npos) return target;
  const std::size_t path = target.find_first_of("/?", scheme + 3);
  return path == std::string_view::npos ? "/" : target.substr(path);
}

}  // namespace

std::string media_type(std::string_view content_type) {
  std::string_view type = content_type.substr(0, content_type.find(';'));
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.remove_suffix(1);
  while (!type.empty() && (type.front() == ' ' || type.front() == '\t')) type.remove_prefix(1);
  std::string lower(type);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

namespace {

bool is_method_of(const Request& req, Endpoint e) {
  const http::verb wanted = row_of(e).method;
  return req.method() == wanted || (wanted == http::verb::get && req.method() == http::verb::head);
}

Response json_response(http::status status, std::string body, unsigned version) {
  Response r{status, version};
  r.set(http::field::server, "karva");
  r.set(http::field::content_type, "application/json");
  r.body() = std::move(body);
  r.prepare_payload();
  return r;
}

std::string predictions_json(const Scored& s) {
  std::string out = "[";
  out.reserve(s.predictions.size() * MOST_JSON_PREDICTION_BYTES + 2);
  for (std::size_t i = 0; i < s.predictions.size(); ++i) {
    if (i) out += ", ";
    append_json_prediction(out, s.predictions[i], s.missing[i] != 0);
  }
  return out + "]";
}

// The header that says how much of a body or answer is JSON, the binary
// tensor data following it.
constexpr const char* INFERENCE_HEADER_LENGTH = "Inference-Header-Content-Length";

// A V2 answer: the output's data in its JSON, or (when the request asks for
// it) after it as binary data, little-endian doubles, a missing row NaN.
Response infer_answer(const InferRequest& request, const ServedModel& model, const Scored& s, unsigned v) {
  static_assert(std::endian::native == std::endian::little, "binary tensor data is little-endian");
  const std::size_t bytes = s.predictions.size() * sizeof(double);
  std::string head = "{" + (request.id ? "\"id\": " + json_string(*request.id) + ", " : std::string()) +
                     "\"model_name\": " + json_string(model.name) + ", \"model_version\": \"" + MODEL_VERSION +
                     "\", \"outputs\": [{\"name\": \"" + OUTPUT_NAME + "\", \"datatype\": \"FP64\", \"shape\": [" +
                     std::to_string(s.predictions.size()) + "], ";
  if (!request.binary_output) return json_response(http::status::ok, head + "\"data\": " + predictions_json(s) + "}]}", v);
  head += "\"parameters\": {\"binary_data_size\": " + std::to_string(bytes) + "}}]}";
  const std::size_t json = head.size();
  head.append(reinterpret_cast<const char*>(s.predictions.data()), bytes);
  Response r = json_response(http::status::ok, std::move(head), v);
  r.set(http::field::content_type, "application/octet-stream");
  r.set(INFERENCE_HEADER_LENGTH, std::to_string(json));
  return r;
}

std::string server_metadata() {
  std::string extensions;
  for (const char* e : SERVER_EXTENSIONS) extensions += (extensions.empty() ? "\"" : ", \"") + std::string(e) + "\"";
  return "{\"name\": \"karva\", \"version\": \"" KARVA_VERSION "\", \"extensions\": [" + extensions + "]}";
}

std::string metadata(const ServedModel& m) {
  std::string inputs;
  for (const std::string& name : m.inputs)
    inputs += (inputs.empty() ? "" : ", ") + std::string("{\"name\": ") + json_string(name) +
              ", \"datatype\": \"FP64\", \"shape\": [-1]}";
  return "{\"name\": " + json_string(m.name) + ", \"versions\": [\"" + MODEL_VERSION + "\"], \"platform\": \"karva\", \"inputs\": [" +
         inputs + "], \"outputs\": [{\"name\": \"" + OUTPUT_NAME + "\", \"datatype\": \"FP64\", \"shape\": [-1]}]}";
}

// NAME, NAME/ready, NAME/infer, and each under NAME/versions/VERSION.
Route model_route(std::string_view rest) {
  constexpr std::string_view VERSIONS = "versions/";
  Route r;
  const std::size_t slash = rest.find('/');
  r.model = std::string(rest.substr(0, slash));
  std::string_view action = slash == std::string_view::npos ? "" : rest.substr(slash + 1);
  if (action.starts_with(VERSIONS)) {
    action.remove_prefix(VERSIONS.size());
    const std::size_t end = action.find('/');
    r.version = std::string(action.substr(0, end));
    action = end == std::string_view::npos ? "" : action.substr(end + 1);
  }
  r.endpoint = action.empty() ? Endpoint::MODEL
               : action == "ready" ? Endpoint::MODEL_READY
               : action == "infer" ? Endpoint::INFER
                                   : Endpoint::OTHER;
  return r;
}

}  // namespace

Route route_of(std::string_view raw_target) {
  constexpr std::string_view MODELS = "/v2/models/";
  const std::string_view target = origin_form(raw_target);
  const std::string_view path = target.substr(0, target.find('?'));
  Route r;
  if (path.starts_with(MODELS)) r = model_route(path.substr(MODELS.size()));
  else if (path == "/v2/health/live") r.endpoint = Endpoint::HEALTH_LIVE;
  else if (path == "/v2/health/ready") r.endpoint = Endpoint::HEALTH_READY;
  else if (path == "/ping" || path == "/health") r.endpoint = Endpoint::PING;
  else if (path == "/metrics") r.endpoint = Endpoint::METRICS;
  else if (path == "/v2") r.endpoint = Endpoint::SERVER;
  else if (path == "/invocations") r.endpoint = Endpoint::INVOCATIONS, r.model = query_value(target, "model");
  r.path = std::string(path);
  return r;
}

const char* endpoint_label(Endpoint endpoint) { return row_of(endpoint).label; }

Response fault_response(const RequestFault& fault, Endpoint endpoint, unsigned version) {
  const auto status = static_cast<http::status>(request_fault_status(fault.kind));
  Response r = json_response(status, "{\"error\": " + json_string(request_fault_message(fault)) + "}", version);
  if (status == http::status::service_unavailable) r.set(http::field::retry_after, "1");
  if (status == http::status::unauthorized) r.set(http::field::www_authenticate, "Bearer");
  if (status == http::status::method_not_allowed)
    r.set(http::field::allow, row_of(endpoint).method == http::verb::get ? "GET, HEAD" : "POST");
  return r;
}

// The token, when there is one, compared in time that does not depend on
// where a wrong one differs: every byte of the longer of the two is read.
bool Service::authorized(std::string_view given) const {
  if (settings_.token.empty()) return true;
  const std::string wanted = "Bearer " + settings_.token;
  const std::size_t n = std::max(given.size(), wanted.size());
  unsigned char differ = given.size() == wanted.size() ? 0 : 1;
  for (std::size_t i = 0; i < n; ++i)
    differ |= static_cast<unsigned char>((i < wanted.size() ? wanted[i] : 0) ^ (i < given.size() ? given[i] : 0));
  return differ == 0;
}

std::optional<RequestFault> Service::refuses(const Request& head, const Route& route, const Models& models) const {
  const Endpoint e = route.endpoint;
  const bool health = e == Endpoint::HEALTH_LIVE || e == Endpoint::HEALTH_READY || e == Endpoint::PING;
  if (!health && !authorized(text_of(head[http::field::authorization]))) return RequestFault{Kind::UNAUTHORIZED};
  if (e == Endpoint::OTHER) return RequestFault{Kind::NO_SUCH_ENDPOINT, route.path};
  const bool names_model = e == Endpoint::MODEL || e == Endpoint::MODEL_READY || e == Endpoint::INFER;
  if (names_model && !find_model(models, route.model)) return RequestFault{Kind::NO_SUCH_MODEL, route.model};
  if (names_model && !route.version.empty() && route.version != MODEL_VERSION)
    return RequestFault{Kind::NO_SUCH_VERSION, route.model, route.version};
  if (!is_method_of(head, e)) return RequestFault{Kind::WRONG_METHOD, row_of(e).method == http::verb::get ? "GET" : "POST"};
  if (e != Endpoint::INVOCATIONS && e != Endpoint::INFER) return std::nullopt;
  const std::string type = media_type(text_of(head[http::field::content_type]));
  const bool csv_too = e == Endpoint::INVOCATIONS;
  const bool binary_too = !csv_too && !head[INFERENCE_HEADER_LENGTH].empty();
  if (!type.empty() && type != "application/json" && !(csv_too && type == "text/csv") &&
      !(binary_too && type == "application/octet-stream"))
    return RequestFault{Kind::MEDIA_TYPE, csv_too ? "application/json or text/csv"
                                                  : "application/json (or, with binary data, application/octet-stream)"};
  return std::nullopt;
}

std::string Service::model_label(const Request& req, const Route& route, const Models& models) const {
  if (!authorized(text_of(req[http::field::authorization]))) return "";
  std::optional<RequestFault> fault;
  const ServedModel* model = route.endpoint == Endpoint::INVOCATIONS ? invocations_model(req, route, models, fault)
                                                                     : find_model(models, route.model);
  return model ? model->name : "";
}

const ServedModel* Service::invocations_model(const Request& req, const Route& route, const Models& models,
                                              std::optional<RequestFault>& fault) const {
  std::string name = route.model;
  if (name.empty()) name = std::string(req["X-Karva-Model"]);
  if (name.empty() && models.size() > 1) fault = RequestFault{Kind::WHICH_MODEL};
  const ServedModel* model = name.empty() && models.size() == 1 ? &models.front() : find_model(models, name);
  if (!model && !fault) fault = RequestFault{Kind::NO_SUCH_MODEL, name};
  return model;
}

Response Service::answer(const Request& req, const Route& route, const Models& models, MemoryBudget::Charge& charge) {
  const unsigned v = req.version();
  switch (route.endpoint) {
    case Endpoint::HEALTH_LIVE: return json_response(http::status::ok, "{\"live\": true}", v);
    case Endpoint::HEALTH_READY:
    case Endpoint::PING: return json_response(http::status::ok, "{\"ready\": true}", v);
    case Endpoint::METRICS: {
      Response r = json_response(http::status::ok, metrics_.text(), v);
      r.set(http::field::content_type, "text/plain; version=0.0.4");
      return r;
    }
    case Endpoint::SERVER:
      return json_response(http::status::ok, server_metadata(), v);
    case Endpoint::MODEL_READY:
      return json_response(http::status::ok, "{\"name\": " + json_string(route.model) + ", \"ready\": true}", v);
    case Endpoint::MODEL: return json_response(http::status::ok, metadata(*find_model(models, route.model)), v);
    case Endpoint::INFER: return infer(req, *find_model(models, route.model), charge);
    case Endpoint::INVOCATIONS: {
      std::optional<RequestFault> fault;
      const ServedModel* model = invocations_model(req, route, models, fault);
      if (fault) return fault_response(*fault, route.endpoint, v);
      return invocations(req, *model, charge);
    }
    case Endpoint::OTHER: break;
  }
  return fault_response(RequestFault{Kind::NO_SUCH_ENDPOINT, route.path}, route.endpoint, v);
}

Response Service::infer(const Request& req, const ServedModel& model, MemoryBudget::Charge& charge) {
  const unsigned v = req.version();
  const std::optional<Scoring::Place> place = scoring_.admit();
  if (!place) return fault_response(RequestFault{Kind::BUSY}, Endpoint::INFER, v);
  if (!Scoring::charge_reading(charge, req.body().size(), true))
    return fault_response(RequestFault{Kind::NO_MEMORY}, Endpoint::INFER, v);
  std::optional<std::size_t> json_size;
  if (const auto given = text_of(req[INFERENCE_HEADER_LENGTH]); !given.empty()) {
    std::size_t n = 0;
    const auto [end, error] = std::from_chars(given.data(), given.data() + given.size(), n);
    if (error != std::errc() || end != given.data() + given.size())
      return fault_response(RequestFault{Kind::BAD_HEADER_LENGTH}, Endpoint::INFER, v);
    json_size = n;
  }
  Expected<InferRequest, RequestFault> request =
      v2_inputs(req.body(), model.inputs, scoring_.limits(model, charge), json_size);
  if (!request) return fault_response(request.error(), Endpoint::INFER, v);
  const Scored s = scoring_.rows(model, request->rows);
  metrics_.rows_scored(model.name, request->rows.rows);
  return infer_answer(*request, model, s, v);
}

Response Service::invocations(const Request& req, const ServedModel& model, MemoryBudget::Charge& charge) {
  const unsigned v = req.version();
  const std::optional<Scoring::Place> place = scoring_.admit();
  if (!place) return fault_response(RequestFault{Kind::BUSY}, Endpoint::INVOCATIONS, v);
  Expected<Scored, RequestFault> scored = Unexpected(RequestFault{});
  if (media_type(text_of(req[http::field::content_type])) == "text/csv") {
    scored = scoring_.csv(model, req.body(), charge);
  } else if (!Scoring::charge_reading(charge, req.body().size(), true)) {
    scored = Unexpected(RequestFault{Kind::NO_MEMORY});
  } else {
    Expected<Matrix, RequestFault> rows = mlflow_inputs(req.body(), model.inputs, scoring_.limits(model, charge));
    if (!rows) return fault_response(rows.error(), Endpoint::INVOCATIONS, v);
    scored = scoring_.rows(model, *rows);
  }
  if (!scored) return fault_response(scored.error(), Endpoint::INVOCATIONS, v);
  metrics_.rows_scored(model.name, scored->predictions.size());
  return json_response(http::status::ok, "{\"predictions\": " + predictions_json(*scored) + "}", v);
}

}  // namespace karva
