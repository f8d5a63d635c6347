#include "serve/transport.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <sstream>
#include <thread>

#include "render/messages.h"
#include "serve/json.h"

namespace karva {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;
using RequestParser = http::request_parser<http::string_body>;
using Kind = RequestFault::Kind;

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
      const int n = left.count() > 0 ? poll(p, watched, static_cast<int>(std::min<long long>(left.count(), INT32_MAX))) : 0;
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

void set_limits(RequestParser& parser, const ServeSettings& settings) {
  parser.body_limit(settings.body_limit);
  parser.header_limit(static_cast<std::uint32_t>(settings.header_limit));
}

// Why a request could not be read, as its fault.
RequestFault read_fault(const beast::error_code& error, const ServeSettings& s) {
  if (error == http::error::body_limit) return RequestFault{Kind::BODY_TOO_LARGE, "", "", s.body_limit};
  if (error == http::error::header_limit) return RequestFault{Kind::HEADERS_TOO_LARGE, "", "", s.header_limit};
  if (error == asio::error::timed_out)
    return RequestFault{Kind::TOO_SLOW, "", "", static_cast<std::uint64_t>(s.read_timeout.count())};
  if (error == asio::error::no_buffer_space) return RequestFault{Kind::NO_MEMORY};
  return RequestFault{Kind::UNREADABLE, error.message()};
}

// One request on its way: what its answer is logged and counted with.
struct Exchange {
  explicit Exchange(std::string from = "") : peer(std::move(from)) {}
  std::string peer;
  std::chrono::steady_clock::time_point began = std::chrono::steady_clock::now();
  std::string method;
  std::string target;
  std::string model;
  Endpoint endpoint = Endpoint::OTHER;
  std::shared_ptr<const Models> models;  // taken once: a reload meanwhile changes nothing for it
};

// Counts and logs the answer, and makes a HEAD answer the GET's without
// its body.
void finish(Response& res, const Exchange& ex, const Transport& t, bool head) {
  const auto took = std::chrono::steady_clock::now() - ex.began;
  t.metrics.end(ex.model, endpoint_label(ex.endpoint), static_cast<int>(res.result_int()), took);
  if (t.log.wants_requests())
    t.log.request({ex.peer, ex.method, ex.target, ex.model, static_cast<int>(res.result_int()), res.body().size(), took});
  if (!head) return;
  const std::size_t length = res.body().size();
  res.body().clear();
  res.content_length(length);
}

// The head read: where it goes, and what it already refuses.
std::optional<RequestFault> take_head(const Request& head, Exchange& ex, Route& route, const Transport& t) {
  if (t.log.wants_requests()) {
    ex.method = std::string(head.method_string());
    ex.target = std::string(head.target());
  }
  route = route_of(text_of(head.target()));
  ex.endpoint = route.endpoint;
  ex.models = t.service.models();
  ex.model = t.service.model_label(head, route, *ex.models);
  const boost::beast::string_view expect = head[http::field::expect];
  if (!expect.empty() && !beast::iequals(expect, "100-continue")) return RequestFault{Kind::EXPECTATION};
  return t.service.refuses(head, route, *ex.models);
}

// Charges the budget for reading the body the head declares (the body,
// with simdjson's padding after it, and for JSON the reader's index) and
// makes room for the body; the fault when there is none, now or ever.
std::optional<RequestFault> charge_declared(RequestParser& parser, MemoryBudget::Charge& charge, const Transport& t) {
  const boost::optional<std::uint64_t> length = parser.content_length();
  if (!length || *length > t.settings.body_limit) return std::nullopt;  // the parser refuses one over the limit
  const bool json = media_type(text_of(parser.get()[http::field::content_type])) != "text/csv";
  const std::size_t bytes = Scoring::reading_bytes(static_cast<std::size_t>(*length), json);
  if (!t.budget.could_hold(bytes)) return RequestFault{Kind::OVER_BUDGET, "", "", t.budget.limit() >> 20};
  if (!charge.grow(bytes)) return RequestFault{Kind::NO_MEMORY};
  parser.get().body().reserve(static_cast<std::size_t>(*length) + JSON_PADDING);
  return std::nullopt;
}

// Reads the body, charging the budget for what a chunked one grows to.
void read_body(TimedSocket& stream, beast::flat_buffer& buffer, RequestParser& parser, MemoryBudget::Charge& charge,
               beast::error_code& error) {
  while (!parser.is_done()) {
    http::read_some(stream, buffer, parser, error);
    if (error) return;
    const std::size_t held = parser.get().body().capacity();
    if (held > charge.held() && !charge.grow(held - charge.held())) {
      error = asio::error::no_buffer_space;
      return;
    }
  }
  std::string& body = parser.get().body();
  if (body.capacity() < body.size() + JSON_PADDING) body.reserve(body.size() + JSON_PADDING);
}

// The answer to a request read (or refused as it was read), counted and
// logged; the same for a connection and for bytes without one.
Response respond(RequestParser& parser, const std::optional<RequestFault>& refused, bool read_whole, Exchange& ex,
                 const Route& route, MemoryBudget::Charge& charge, const Transport& t) {
  t.metrics.begin();  // ended by finish
  Response res = refused ? fault_response(*refused, ex.endpoint, parser.get().version())
                         : t.service.answer(parser.get(), route, *ex.models, charge);
  finish(res, ex, t, read_whole && parser.get().method() == http::verb::head);
  return res;
}

// Reads one request and answers it; false when the connection is done.
bool exchange(TimedSocket& stream, beast::flat_buffer& buffer, const std::string& peer, const Transport& t) {
  RequestParser parser;
  set_limits(parser, t.settings);
  beast::error_code error;
  stream.next_request(buffer.size() > 0);
  stream.expires_after(t.settings.read_timeout);
  http::read_header(stream, buffer, parser, error);
  // A client that closes, or that sends nothing more within the time, is
  // done: an idle keep-alive connection closes without a word.
  if (error == http::error::end_of_stream || (error && (t.stopping || !parser.got_some()))) return false;
  Exchange ex(peer);
  Route route;
  MemoryBudget::Charge charge = t.budget.charge();
  std::optional<RequestFault> refused = error ? std::optional(read_fault(error, t.settings)) : std::nullopt;
  if (!error) refused = take_head(parser.get(), ex, route, t);
  if (!refused) refused = charge_declared(parser, charge, t);
  if (!refused && beast::iequals(parser.get()[http::field::expect], "100-continue")) {
    constexpr std::string_view CONTINUE = "HTTP/1.1 100 Continue\r\n\r\n";
    asio::write(stream, asio::buffer(CONTINUE), error);
  }
  if (!refused && !error) read_body(stream, buffer, parser, charge, error);
  if (!refused && error) refused = read_fault(error, t.settings);
  Response res = respond(parser, refused, !error, ex, route, charge, t);
  // A body left unread ends the connection with the answer.
  const bool keep = !error && parser.is_done() && parser.get().keep_alive() && !t.stopping;
  res.keep_alive(keep);
  stream.expires_after(t.settings.read_timeout);
  http::write(stream, res, error);
  return !error && keep;
}

std::string peer_of(const tcp::socket& socket) {
  beast::error_code error;
  const tcp::endpoint peer = socket.remote_endpoint(error);
  if (error) return "";
  const std::string address = peer.address().to_string();
  return (peer.address().is_v6() ? "[" + address + "]" : address) + ":" + std::to_string(peer.port());
}

void session(tcp::socket& socket, const std::string& peer, const Transport& t) {
  TimedSocket stream(socket, t.stop);
  beast::flat_buffer buffer;
  while (exchange(stream, buffer, peer, t)) {
  }
  beast::error_code ignored;
  socket.shutdown(tcp::socket::shutdown_send, ignored);
}

}  // namespace

bool Connections::enter(int fd, int most) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (static_cast<int>(open_.size()) >= most) return false;
  open_.insert(fd);
  return true;
}

void Connections::leave(int fd) {
  const std::lock_guard<std::mutex> lock(mutex_);
  open_.erase(fd);
  left_.notify_all();
}

bool Connections::wait_empty(std::chrono::seconds most) {
  std::unique_lock<std::mutex> lock(mutex_);
  return left_.wait_for(lock, most, [&] { return open_.empty(); });
}

StopEvent::StopEvent() : fd_(eventfd(0, EFD_CLOEXEC)) {}

StopEvent::~StopEvent() {
  if (fd_ >= 0) close(fd_);
}

void StopEvent::raise() {
  const std::uint64_t one = 1;
  if (fd_ >= 0 && write(fd_, &one, sizeof one) < 0) return;  // raised already: the count is full
}

void start_session(tcp::socket socket, const Transport& t) {
  const int fd = socket.native_handle();
  // Asked at once: a client that hangs up has no address to tell later.
  std::string peer = peer_of(socket);
  if (!t.connections.enter(fd, t.settings.max_connections)) {
    Exchange ex(peer);
    t.metrics.begin();
    Response full = fault_response(RequestFault{Kind::BUSY}, Endpoint::OTHER, 11);
    finish(full, ex, t, false);
    full.keep_alive(false);
    beast::error_code ignored;
    http::write(socket, full, ignored);
    return;
  }
  t.metrics.connected(true);
  std::thread([&t, fd, peer = std::move(peer), s = std::move(socket)]() mutable {
    // What no request foresaw (memory, say) ends its connection, not the service.
    try {
      session(s, peer, t);
    } catch (const std::exception& failure) {
      t.log.say(connection_ended_message(failure.what()));
    }
    t.metrics.connected(false);
    // Before the socket closes, so that its number is not yet another's.
    t.connections.leave(fd);
  }).detach();
}

std::string answer_bytes(const Transport& t, std::string_view raw) {
  std::string written;
  for (std::size_t at = 0; at < raw.size();) {
    RequestParser parser;
    set_limits(parser, t.settings);
    beast::error_code error;
    while (at < raw.size() && !parser.is_done()) {
      at += parser.put(asio::buffer(raw.data() + at, raw.size() - at), error);
      if (error) break;
    }
    if (error == http::error::need_more || (!error && !parser.is_done())) parser.put_eof(error);
    if (!parser.got_some()) break;  // nothing more came before the client hung up
    Exchange ex;
    Route route;
    MemoryBudget::Charge charge = t.budget.charge();
    std::optional<RequestFault> refused = error ? std::optional(read_fault(error, t.settings)) : std::nullopt;
    if (!refused) refused = take_head(parser.get(), ex, route, t);
    Response res = respond(parser, refused, !error, ex, route, charge, t);
    res.keep_alive(!error && parser.get().keep_alive());
    std::ostringstream out;
    out << res;
    written += out.str();
    if (error || !res.keep_alive()) break;
  }
  return written;
}

}  // namespace karva
