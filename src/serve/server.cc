#include "serve/server.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "engine/run.h"
#include "render/explain.h"
#include "render/messages.h"
#include "serve/metrics.h"
#include "serve/request.h"
#include "text/escape.h"

namespace karva {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

// Rows scored on their connection's thread, where requests side by side
// keep the processors busy without waiting for each other; more are split
// across the pool like a file.
constexpr std::size_t ROWS_FOR_ONE_THREAD = 16 * DEFAULT_TABLE_ROWS;
// The same for a CSV body, by its size.
constexpr std::size_t CSV_BYTES_FOR_ONE_THREAD = 16 * DEFAULT_CHUNK_BYTES;
// What a CSV body is called in messages.
constexpr const char* CSV_BODY_NAME = "the request";

Response json_response(http::status status, std::string body, unsigned version) {
  Response r{status, version};
  r.set(http::field::server, "karva");
  r.set(http::field::content_type, "application/json");
  r.body() = std::move(body);
  r.prepare_payload();
  return r;
}

Response error_response(http::status status, const std::string& message, unsigned version) {
  // One line: a message of several lines keeps its first.
  return json_response(status, "{\"error\": " + json_string(message.substr(0, message.find('\n'))) + "}", version);
}

// The predictions of a request's rows, and which rows miss an input.
struct Scored {
  std::vector<double> predictions;
  std::vector<bool> missing;
};

// Why a request holds too many rows.
RequestError too_many_rows(std::size_t most) {
  return RequestError{413, "a request may hold at most " + std::to_string(most) + " rows"};
}

// Gathers what the run core scored of a CSV body, up to the rows a request
// may hold; past them, it stops the run.
class GatherRows : public RowSink {
 public:
  explicit GatherRows(std::size_t most) : most_(most) {}
  bool take(const Chunk& chunk) override {
    too_many = scored.predictions.size() + chunk.predictions.size() > most_;
    if (too_many) return false;
    scored.predictions.insert(scored.predictions.end(), chunk.predictions.begin(), chunk.predictions.end());
    for (unsigned char m : chunk.missing) scored.missing.push_back((m & MISSING_INPUT) != 0);
    return true;
  }
  Scored scored;
  bool too_many = false;

 private:
  std::size_t most_;
};

// The scoring of requests. At most the queue limit of them are read into
// rows or scored at once; past it a request is answered 503 at once, so
// that work waiting never grows without bound. A large request is split
// across the pool's threads like a file, one large request at a time; a
// small one scores on its connection's own thread and so never waits
// behind a large one.
class Scoring {
 public:
  explicit Scoring(const ServeSettings& settings)
      : limit_(settings.queue_limit), jobs_(settings.jobs), row_limit_(settings.row_limit) {}

  // Holds a place among the requests being scored while it lives.
  class Place {
   public:
    explicit Place(std::atomic<int>& taken) : taken_(taken) {}
    Place(const Place&) = delete;
    Place& operator=(const Place&) = delete;
    ~Place() { taken_.fetch_sub(1); }

   private:
    std::atomic<int>& taken_;
  };

  // A place, or nothing when the queue is full.
  std::optional<Place> admit() {
    if (taken_.fetch_add(1) >= limit_) {
      taken_.fetch_sub(1);
      return std::nullopt;
    }
    return std::optional<Place>(std::in_place, taken_);
  }

  Scored rows(const ServedModel& model, const Matrix& m) {
    Scored s;
    s.predictions.resize(m.rows);
    const auto width = static_cast<std::ptrdiff_t>(m.columns * sizeof(double));
    const MatrixView view{reinterpret_cast<const char*>(m.values.data()), m.rows, width, sizeof(double)};
    const std::unique_lock<std::mutex> pool = pool_for(m.rows >= ROWS_FOR_ONE_THREAD);
    score_matrix(*model.key.prepared, view, s.predictions.data(), threads(pool));
    for (std::size_t r = 0; r < m.rows; ++r) {
      const auto row = m.values.begin() + static_cast<std::ptrdiff_t>(r * m.columns);
      s.missing.push_back(std::any_of(row, row + static_cast<std::ptrdiff_t>(m.columns), [](double v) { return std::isnan(v); }));
    }
    return s;
  }

  // A CSV body, read as --csv reads a file: by the model's names when it has
  // them, else every column an input. A reading that stops answers 400 with
  // the command's message; no request gets partial predictions.
  Expected<Scored, RequestError> csv(const ServedModel& model, const std::string& body) {
    PlanRequest request;
    request.data_path = CSV_BODY_NAME;
    request.dialect.csv = true;
    request.columns.has_target = false;
    if (model.named) request.columns.inputs = model.inputs;
    Expected<Plan, PlanError> plan = plan_with_data(model.key, data_source(bytes_of(body), CSV_BODY_NAME, request.dialect), request, {});
    if (!plan) return Unexpected(RequestError{400, plan_error_message(plan.error())});
    GatherRows sink(row_limit_);
    const std::unique_lock<std::mutex> pool = pool_for(body.size() >= CSV_BYTES_FOR_ONE_THREAD);
    const RunOutcome outcome = run_rows(*plan, {threads(pool), DEFAULT_CHUNK_BYTES, DEFAULT_TABLE_ROWS, nullptr}, sink);
    if (sink.too_many) return Unexpected(too_many_rows(row_limit_));
    if (!outcome.complete()) return Unexpected(RequestError{400, read_end_message(outcome, CSV_BODY_NAME)});
    return std::move(sink.scored);
  }

 private:
  // The pool, held for a large request (waiting while another has it); a
  // small one scores on its own thread and holds nothing.
  std::unique_lock<std::mutex> pool_for(bool large) {
    return large ? std::unique_lock<std::mutex>(pool_) : std::unique_lock<std::mutex>(pool_, std::defer_lock);
  }
  int threads(const std::unique_lock<std::mutex>& pool) const { return pool.owns_lock() ? jobs_ : 1; }

  // The body as the reader's source of bytes; it outlives the run.
  static ByteSource bytes_of(const std::string& body) {
    auto at = std::make_shared<std::size_t>(0);
    return [&body, at](char* dst, std::size_t room, SourceProblem*) -> std::int64_t {
      const std::size_t n = std::min(room, body.size() - *at);
      std::memcpy(dst, body.data() + *at, n);
      *at += n;
      return static_cast<std::int64_t>(n);
    };
  }

  const int limit_;
  const int jobs_;
  const std::size_t row_limit_;
  std::atomic<int> taken_{0};
  std::mutex pool_;  // the pool's threads, for one large request at a time
};

// The value of `key` in the target's query; empty when it has none.
std::string query_value(const std::string& target, const std::string& key) {
  const std::size_t q = target.find('?');
  if (q == std::string::npos) return "";
  for (std::size_t at = q + 1; at < target.size();) {
    const std::size_t amp = std::min(target.find('&', at), target.size());
    const std::string pair = target.substr(at, amp - at);
    if (pair.starts_with(key + "=")) return pair.substr(key.size() + 1);
    at = amp + 1;
  }
  return "";
}

// Why a request cannot be scored, as its answer.
Response refusal(const RequestError& why, unsigned version) {
  return error_response(static_cast<http::status>(why.status), why.message, version);
}

// What a client is told when the service has no room for its request.
Response busy(unsigned version) {
  Response r = error_response(http::status::service_unavailable, "the service is busy; try again", version);
  r.set(http::field::retry_after, "1");
  return r;
}

std::string predictions_json(const Scored& s) {
  std::string out = "[";
  for (std::size_t i = 0; i < s.predictions.size(); ++i) {
    if (i) out += ", ";
    append_json_prediction(out, s.predictions[i], s.missing[i]);
  }
  return out + "]";
}

// Where a request goes, read once from its target: its path, the endpoint
// the metrics count it under, the model it names (empty where none) and,
// under /v2/models/NAME/, what it asks of the model.
struct Route {
  std::string target;
  std::string path;
  std::string endpoint;
  std::string model;
  std::string action;
};

bool is_health(const std::string& path) {
  return path == "/v2/health/live" || path == "/v2/health/ready" || path == "/ping" || path == "/health";
}

Route route_of(const Request& req) {
  constexpr std::string_view MODELS = "/v2/models/";
  Route r;
  r.target = std::string(req.target());
  r.path = r.target.substr(0, r.target.find('?'));
  if (is_health(r.path)) {
    r.endpoint = "health";
  } else if (r.path == "/metrics" || r.path == "/v2") {
    r.endpoint = r.path.substr(1);
  } else if (r.path == "/invocations") {
    r.endpoint = "invocations";
    r.model = query_value(r.target, "model");
  } else if (r.path.starts_with(MODELS)) {
    const std::string rest = r.path.substr(MODELS.size());
    const std::size_t slash = rest.find('/');
    r.model = rest.substr(0, slash);
    r.action = slash == std::string::npos ? "" : rest.substr(slash + 1);
    r.endpoint = r.action.empty() ? "metadata" : r.action;
  } else {
    r.endpoint = "unknown";
  }
  return r;
}

class Service {
 public:
  Service(std::vector<ServedModel> models, const ServeSettings& settings, Metrics& metrics)
      : models_(std::make_shared<const Models>(std::move(models))), settings_(settings), metrics_(metrics),
        scoring_(settings) {}

  // Reads every key again: one that reads and builds replaces its model for
  // the requests that come after; one that fails keeps the old, and says why.
  void reload(std::FILE* log) {
    auto models = std::make_shared<Models>(*models_.load());
    for (ServedModel& model : *models) {
      Expected<ServedModel, std::string> fresh = load_model(model.path, model.named ? model.inputs : std::vector<std::string>{});
      metrics_.reloaded(fresh.has_value());
      if (fresh) model = std::move(*fresh);
      else std::fprintf(log, "The key of model %s is not reloaded: %s", shown(model.name).c_str(), fresh.error().c_str());
    }
    std::fflush(log);
    models_.store(std::move(models));
  }

  Response handle(const Request& req, const Route& route) {
    // Requests in flight at a reload finish on the models they began with.
    const std::shared_ptr<const Models> models = models_.load();
    return handle(req, route, *models);
  }

 private:
  using Models = std::vector<ServedModel>;

  Response handle(const Request& req, const Route& route, const Models& models) {
    const std::string& path = route.path;
    const unsigned v = req.version();
    const bool get = req.method() == http::verb::get;
    const bool post = req.method() == http::verb::post;
    if (route.endpoint == "health") {
      if (!get) return error_response(http::status::method_not_allowed, "use GET", v);
      return json_response(http::status::ok, path.ends_with("live") ? "{\"live\": true}" : "{\"ready\": true}", v);
    }
    if (!authorized(req)) {
      Response r = error_response(http::status::unauthorized, "this service needs Authorization: Bearer TOKEN", v);
      r.set(http::field::www_authenticate, "Bearer");
      return r;
    }
    if (route.endpoint == "metrics") {
      if (!get) return error_response(http::status::method_not_allowed, "use GET", v);
      Response r = json_response(http::status::ok, metrics_.text(), v);
      r.set(http::field::content_type, "text/plain; version=0.0.4");
      return r;
    }
    if (route.endpoint == "v2") {
      if (!get) return error_response(http::status::method_not_allowed, "use GET", v);
      return json_response(http::status::ok, "{\"name\": \"karva\", \"version\": \"" KARVA_VERSION "\", \"extensions\": []}", v);
    }
    if (route.endpoint == "invocations") {
      if (!post) return error_response(http::status::method_not_allowed, "use POST", v);
      return invocations(req, models, route.model);
    }
    if (route.endpoint == "unknown") return error_response(http::status::not_found, "no such endpoint: " + path, v);
    const std::string& name = route.model;
    const std::string& action = route.action;
    const ServedModel* model = find(models, name);
    if (!model) return error_response(http::status::not_found, "no model is named \"" + name + "\"", v);
    if (action == "infer") {
      if (!post) return error_response(http::status::method_not_allowed, "use POST", v);
      return infer(req, *model);
    }
    if (!get) return error_response(http::status::method_not_allowed, "use GET", v);
    if (action == "ready") return json_response(http::status::ok, "{\"name\": " + json_string(name) + ", \"ready\": true}", v);
    if (action.empty()) return json_response(http::status::ok, metadata(*model), v);
    return error_response(http::status::not_found, "no such endpoint: " + path, v);
  }

  // The token, when there is one, compared in time that does not depend on
  // where a wrong one differs.
  bool authorized(const Request& req) const {
    if (settings_.token.empty()) return true;
    const std::string given(req[http::field::authorization]);
    const std::string wanted = "Bearer " + settings_.token;
    unsigned char differ = given.size() == wanted.size() ? 0 : 1;
    for (std::size_t i = 0; i < wanted.size(); ++i)
      differ |= static_cast<unsigned char>(wanted[i] ^ (i < given.size() ? given[i] : 0));
    return differ == 0;
  }

  static const ServedModel* find(const Models& models, const std::string& name) {
    const auto found = std::find_if(models.begin(), models.end(), [&](const ServedModel& m) { return m.name == name; });
    return found == models.end() ? nullptr : &*found;
  }

  std::string metadata(const ServedModel& m) const {
    std::string inputs;
    for (const std::string& name : m.inputs)
      inputs += (inputs.empty() ? "" : ", ") + std::string("{\"name\": ") + json_string(name) +
                ", \"datatype\": \"FP64\", \"shape\": [-1]}";
    return "{\"name\": " + json_string(m.name) + ", \"versions\": [\"1\"], \"platform\": \"karva\", \"inputs\": [" +
           inputs + "], \"outputs\": [{\"name\": \"predict\", \"datatype\": \"FP64\", \"shape\": [-1]}]}";
  }

  Response infer(const Request& req, const ServedModel& model) {
    const std::optional<Scoring::Place> place = scoring_.admit();
    if (!place) return busy(req.version());
    Expected<InferRequest, RequestError> request = v2_inputs(req.body(), model.inputs);
    if (!request) return refusal(request.error(), req.version());
    const Matrix& rows = request->rows;
    if (rows.rows > settings_.row_limit) return refusal(too_many_rows(settings_.row_limit), req.version());
    const Scored s = scoring_.rows(model, rows);
    metrics_.rows_scored(model.name, rows.rows);
    const std::string id = request->id ? "\"id\": " + json_string(*request->id) + ", " : "";
    return json_response(http::status::ok,
                         "{" + id + "\"model_name\": " + json_string(model.name) + ", \"outputs\": [{\"name\": \"predict\", "
                         "\"datatype\": \"FP64\", \"shape\": [" + std::to_string(rows.rows) + "], \"data\": " +
                         predictions_json(s) + "}]}",
                         req.version());
  }

  Response invocations(const Request& req, const Models& models, std::string name) {
    const unsigned v = req.version();
    if (name.empty() && req.count("X-Karva-Model")) name = std::string(req["X-Karva-Model"]);
    if (name.empty() && models.size() > 1)
      return error_response(http::status::bad_request,
                            "several models are served: name one with ?model=NAME or the header X-Karva-Model", v);
    const ServedModel* model = name.empty() ? &models.front() : find(models, name);
    if (!model) return error_response(http::status::not_found, "no model is named \"" + name + "\"", v);
    const std::string type(req[http::field::content_type]);
    const bool csv = type.starts_with("text/csv");
    if (!csv && !type.empty() && !type.starts_with("application/json"))
      return error_response(http::status::unsupported_media_type, "send application/json or text/csv", v);
    const std::optional<Scoring::Place> place = scoring_.admit();
    if (!place) return busy(v);
    Expected<Scored, RequestError> scored = Unexpected(RequestError{});
    if (csv) {
      scored = scoring_.csv(*model, req.body());
    } else {
      Expected<Matrix, RequestError> rows = mlflow_inputs(req.body(), model->inputs);
      if (!rows) return refusal(rows.error(), v);
      if (rows->rows > settings_.row_limit) return refusal(too_many_rows(settings_.row_limit), v);
      scored = scoring_.rows(*model, *rows);
    }
    if (!scored) return refusal(scored.error(), v);
    metrics_.rows_scored(model->name, scored->predictions.size());
    return json_response(http::status::ok, "{\"predictions\": " + predictions_json(*scored) + "}", v);
  }

  std::atomic<std::shared_ptr<const Models>> models_;
  const ServeSettings& settings_;
  Metrics& metrics_;
  Scoring scoring_;
};

// The connections being served, counted against their limit, so that a
// stop can wait for the requests in flight.
class Connections {
 public:
  bool enter(int fd, int most) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (static_cast<int>(open_.size()) >= most) return false;
    open_.insert(fd);
    return true;
  }
  void leave(int fd) {
    const std::lock_guard<std::mutex> lock(mutex_);
    open_.erase(fd);
    left_.notify_all();
  }
  bool wait_empty(std::chrono::seconds most) {
    std::unique_lock<std::mutex> lock(mutex_);
    return left_.wait_for(lock, most, [&] { return open_.empty(); });
  }

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
  StopEvent() : fd_(eventfd(0, EFD_CLOEXEC)) {}
  StopEvent(const StopEvent&) = delete;
  StopEvent& operator=(const StopEvent&) = delete;
  ~StopEvent() {
    if (fd_ >= 0) close(fd_);
  }
  void raise() {
    const std::uint64_t one = 1;
    if (fd_ >= 0 && write(fd_, &one, sizeof one) < 0) return;  // raised already: the count is full
  }
  // -1 when there is none: then an idle connection ends at its read timeout.
  int fd() const { return fd_; }

 private:
  int fd_;
};

// A connection whose reads and writes give up at a deadline, so that a slow
// or silent client cannot hold its thread: beast reads and writes through
// it synchronously, one thread a connection. Waiting for a request that has
// not begun, it also gives up at a stop; a request begun is read whole.
class TimedSocket {
 public:
  TimedSocket(tcp::socket& socket, const StopEvent& stop) : socket_(socket), stop_(stop) {}
  void expires_after(std::chrono::seconds limit) { deadline_ = std::chrono::steady_clock::now() + limit; }
  // A new request, begun already when some of it was read with the last.
  void next_request(bool begun) { begun_ = begun; }

  template <typename Buffers>
  std::size_t read_some(const Buffers& buffers, beast::error_code& error) {
    const std::size_t n = wait(POLLIN, error) ? socket_.read_some(buffers, error) : 0;
    begun_ = begun_ || n > 0;
    return n;
  }
  template <typename Buffers>
  std::size_t write_some(const Buffers& buffers, beast::error_code& error) {
    return wait(POLLOUT, error) ? socket_.write_some(buffers, error) : 0;
  }
  // The forms that throw, which beast's stream concepts ask for too.
  template <typename Buffers>
  std::size_t read_some(const Buffers& buffers) {
    return or_throw([&](beast::error_code& error) { return read_some(buffers, error); });
  }
  template <typename Buffers>
  std::size_t write_some(const Buffers& buffers) {
    return or_throw([&](beast::error_code& error) { return write_some(buffers, error); });
  }

 private:
  template <typename Transfer>
  static std::size_t or_throw(Transfer transfer) {
    beast::error_code error;
    const std::size_t n = transfer(error);
    if (error) throw beast::system_error(error);
    return n;
  }

  // Whether the socket is ready before the deadline (else a timeout) and,
  // between requests, before a stop (else aborted).
  bool wait(short events, beast::error_code& error) {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now());
      pollfd p[2] = {{socket_.native_handle(), events, 0}, {stop_.fd(), POLLIN, 0}};
      const nfds_t watched = begun_ ? 1 : 2;
      const int n = left.count() > 0 ? poll(p, watched, static_cast<int>(left.count())) : 0;
      if (n > 0 && p[0].revents == 0) {
        error = asio::error::operation_aborted;
        return false;
      }
      if (n > 0 || (n < 0 && errno != EINTR)) return true;  // ready, or a failure the call will report
      if (n == 0) {
        error = asio::error::timed_out;
        return false;
      }
    }
  }

  tcp::socket& socket_;
  const StopEvent& stop_;
  bool begun_ = false;
  std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::now();
};

void log_line(std::FILE* log, const Request& req, const Response& res, const ServeSettings& settings) {
  if (settings.quiet || !log) return;
  std::fprintf(log, "%s %s %d\n", std::string(req.method_string()).c_str(), shown(std::string(req.target())).c_str(),
               static_cast<int>(res.result_int()));
  std::fflush(log);
}

// A parser of one request, within the settings' limits.
using RequestParser = http::request_parser<http::string_body>;
void set_limits(RequestParser& parser, const ServeSettings& settings) {
  parser.body_limit(settings.body_limit);
  parser.header_limit(static_cast<std::uint32_t>(settings.header_limit));
}

// What a connection answers to the request it read, or to why it could not
// read one.
Response answer(const beast::error_code& error, const RequestParser& parser, Service& service, Metrics& metrics,
                const ServeSettings& settings, std::FILE* log) {
  if (error == http::error::body_limit)
    return error_response(http::status::payload_too_large, "the body is larger than the limit", 11);
  if (error == http::error::header_limit)
    return error_response(http::status::request_header_fields_too_large, "the headers are larger than the limit", 11);
  if (error == asio::error::timed_out)
    return error_response(http::status::request_timeout, "the request took too long to arrive", 11);
  if (error) return error_response(http::status::bad_request, "the request cannot be read: " + error.message(), 11);
  metrics.begin();
  const auto began = std::chrono::steady_clock::now();
  const Route route = route_of(parser.get());
  Response res = service.handle(parser.get(), route);
  metrics.end(route.model, route.endpoint, static_cast<int>(res.result_int()), std::chrono::steady_clock::now() - began);
  log_line(log, parser.get(), res, settings);
  return res;
}

// One connection: requests one after another (keep-alive), each answered
// whole; a read that takes longer than the limit answers 408.
void session(tcp::socket& socket, Service& service, const ServeSettings& settings, const StopEvent& stop,
             const std::atomic<bool>& stopping, Metrics& metrics, std::FILE* log) {
  TimedSocket stream(socket, stop);
  beast::flat_buffer buffer;
  for (;;) {
    stream.next_request(buffer.size() > 0);
    RequestParser parser;
    set_limits(parser, settings);
    beast::error_code error;
    stream.expires_after(settings.read_timeout);
    http::read(stream, buffer, parser, error);
    // A client that closes, or that sends nothing more within the time, is
    // done: an idle keep-alive connection closes without a word.
    if (error == http::error::end_of_stream || (error && (stopping || !parser.got_some()))) break;
    Response res = answer(error, parser, service, metrics, settings, log);
    const bool keep = !error && parser.get().keep_alive() && !stopping;
    res.keep_alive(keep);
    stream.expires_after(settings.read_timeout);
    http::write(stream, res, error);
    if (error || !keep) break;
  }
  beast::error_code ignored;
  socket.shutdown(tcp::socket::shutdown_send, ignored);
}

}  // namespace

std::string model_name(const std::string& path) {
  const std::string file = path.substr(path.rfind('/') + 1);
  const std::size_t dot = file.rfind('.');
  return dot == 0 || dot == std::string::npos ? file : file.substr(0, dot);
}

Expected<ServedModel, std::string> load_model(const std::string& path, const std::vector<std::string>& inputs) {
  Expected<LoadedKey, PlanError> key = plan_key(path, true);
  if (!key) return Unexpected(plan_error_message(key.error()));
  ServedModel model{path, model_name(path), std::move(*key), inputs, !inputs.empty()};
  const int n = model.key.key.variable_count;
  if (model.named && static_cast<int>(inputs.size()) != n)
    return Unexpected(
        plan_error_message(PlanError(ColumnError::mismatch("", n, static_cast<std::int64_t>(inputs.size()), "--inputs"))));
  for (int m = 0; !model.named && m < n; ++m)
    model.inputs.push_back(letter_name(static_cast<unsigned char>(FIRST_TERMINAL_LETTER + m)));
  return model;
}

namespace {

// The acceptor on the settings' address, listening; false, with the
// message on `log`, when it cannot be.
bool listen_on(tcp::acceptor& acceptor, const ServeSettings& settings, std::FILE* log) {
  beast::error_code error;
  const asio::ip::address address = asio::ip::make_address(settings.host, error);
  if (!error) acceptor.open(address.is_v6() ? tcp::v6() : tcp::v4(), error);
  if (!error) acceptor.set_option(asio::socket_base::reuse_address(true), error);
  if (!error) acceptor.bind({address, settings.port}, error);
  if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    std::fprintf(log, "Cannot listen on %s:%u: %s\n", shown(settings.host).c_str(), settings.port, error.message().c_str());
    return false;
  }
  if (!settings.token.empty() && !address.is_loopback())
    std::fprintf(log, "karva: the token would cross the network in clear on %s; put a TLS proxy in front.\n",
                 shown(settings.host).c_str());
  return true;
}

// What every connection's thread shares, for as long as the service runs.
struct Shared {
  Service& service;
  const ServeSettings& settings;
  Connections& connections;
  const StopEvent& stop;
  const std::atomic<bool>& stopping;
  Metrics& metrics;
  std::FILE* log;
};

// A connection accepted: on a thread of its own, or, past the limit,
// answered 503 at once.
void start_session(tcp::socket socket, const Shared& shared) {
  const int fd = socket.native_handle();
  if (!shared.connections.enter(fd, shared.settings.max_connections)) {
    beast::error_code ignored;
    Response full = busy(11);
    http::write(socket, full, ignored);
    return;
  }
  shared.metrics.connected(true);
  std::thread([&shared, fd, s = std::move(socket)]() mutable {
    // What no request foresaw (memory, say) ends its connection, not the service.
    try {
      session(s, shared.service, shared.settings, shared.stop, shared.stopping, shared.metrics, shared.log);
    } catch (const std::exception& failure) {
      std::fprintf(shared.log, "A connection ended: %s\n", failure.what());
    }
    shared.metrics.connected(false);
    // Before the socket closes, so that its number is not yet another's.
    shared.connections.leave(fd);
  }).detach();
}

}  // namespace

int serve(const std::vector<ServedModel>& models, const ServeSettings& settings, std::FILE* out, std::FILE* log) {
  asio::io_context io;
  tcp::acceptor acceptor(io);
  if (!listen_on(acceptor, settings, log)) return EXIT_FAILED;
  const auto bound = acceptor.local_endpoint();
  std::fprintf(out, "Listening on http://%s:%u\n", bound.address().to_string().c_str(), bound.port());
  std::fflush(out);
  Metrics metrics;
  Service service(models, settings, metrics);
  Connections connections;
  StopEvent stop;
  std::atomic<bool> stopping{false};
  const Shared shared{service, settings, connections, stop, stopping, metrics, log};
  asio::signal_set signals(io, SIGINT, SIGTERM, SIGHUP);
  std::function<void()> wait_for_signal = [&] {
    signals.async_wait([&](const beast::error_code& e, int signal) {
      if (e) return;
      if (signal == SIGHUP) {
        service.reload(log);
        wait_for_signal();
        return;
      }
      stopping = true;
      acceptor.close();
      signals.cancel();
      stop.raise();
    });
  };
  wait_for_signal();
  std::function<void()> accept = [&] {
    acceptor.async_accept([&](const beast::error_code& e, tcp::socket socket) {
      if (e) return;  // closed at a stop
      start_session(std::move(socket), shared);
      accept();
    });
  };
  accept();
  io.run();
  // The sessions use what lives here: past the drain time, the process
  // ends with them rather than leave them reading freed memory.
  if (!connections.wait_empty(settings.drain)) {
    std::fflush(nullptr);
    std::_Exit(EXIT_OK);
  }
  return EXIT_OK;
}

std::string answer_bytes(const std::vector<ServedModel>& models, const ServeSettings& settings, std::string_view raw) {
  Metrics metrics;
  Service service(models, settings, metrics);
  std::string written;
  for (std::size_t at = 0; at < raw.size();) {
    RequestParser parser;
    set_limits(parser, settings);
    beast::error_code error;
    while (at < raw.size() && !parser.is_done()) {
      at += parser.put(asio::buffer(raw.data() + at, raw.size() - at), error);
      if (error) break;
    }
    if (error == http::error::need_more || (!error && !parser.is_done())) parser.put_eof(error);
    if (!parser.got_some()) break;  // nothing more came before the client hung up
    Response res = answer(error, parser, service, metrics, settings, nullptr);
    res.keep_alive(!error && parser.get().keep_alive());
    std::ostringstream out;
    out << res;
    written += out.str();
    if (error || !res.keep_alive()) break;
  }
  return written;
}

}  // namespace karva
