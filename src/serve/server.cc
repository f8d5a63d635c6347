#include "serve/server.h"

#include <boost/asio.hpp>
#include <functional>
#include <thread>

#include "engine/run.h"
#include "render/messages.h"
#include "serve/grpc_listener.h"
#include "serve/transport.h"

namespace karva {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// At a stop, how long the log's reader has to take the lines left: a
// reader that takes nothing for as long is not waited for.
constexpr std::chrono::milliseconds LOG_DRAIN{2000};

// The address as a URL writes it: an IPv6 address in brackets.
std::string url_host(const asio::ip::address& address) {
  return address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
}

// The acceptor on the settings' address (a host name resolved), listening;
// false, with the message on the log, when it cannot be.
bool listen_on(tcp::acceptor& acceptor, asio::io_context& io, const ServeSettings& settings, AccessLog& log) {
  boost::system::error_code error;
  tcp::resolver resolver(io);
  const auto found = resolver.resolve(settings.host, std::to_string(settings.port),
                                      tcp::resolver::passive | tcp::resolver::numeric_service, error);
  const std::string where = settings.host + ":" + std::to_string(settings.port);
  for (auto it = found.begin(); !error && it != found.end(); ++it) {
    error = {};
    acceptor.close(error);
    acceptor.open(it->endpoint().protocol(), error);
    if (!error) acceptor.set_option(asio::socket_base::reuse_address(true), error);
    if (!error) acceptor.bind(it->endpoint(), error);
    if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (!error) break;
  }
  if (!error && found.empty()) error = asio::error::host_not_found;
  if (error) {
    log.say(cannot_listen_message(where, error.message()));
    return false;
  }
  const asio::ip::address bound = acceptor.local_endpoint().address();
  if (!bound.is_loopback()) log.say(settings.token.empty() ? no_token_message(settings.host) : token_in_clear_message(settings.host));
  return true;
}

// Reads every key again, and says what failed.
void reload(ModelStore& store, Metrics& metrics, AccessLog& log) {
  const std::shared_ptr<const Models> before = store.current();
  const std::vector<std::optional<std::string>> failures = store.reload();
  for (std::size_t m = 0; m < failures.size(); ++m) {
    metrics.reloaded(!failures[m]);
    if (failures[m]) log.say(not_reloaded_message((*before)[m].name, *failures[m]));
  }
}

// Everything a running service holds.
struct House {
  House(const Models& models, const ServeSettings& s, std::FILE* log_file)
      : settings(s), log(log_file, s.quiet), budget(s.memory_limit), store(models), scoring(s),
        service(store, s, metrics, scoring) {}
  Transport transport() { return {service, settings, metrics, log, budget, connections, stop, stopping}; }

  const ServeSettings& settings;
  Metrics metrics;
  AccessLog log;
  MemoryBudget budget;
  ModelStore store;
  Scoring scoring;
  Service service;
  Connections connections;
  StopEvent stop;
  std::atomic<bool> stopping{false};
};

// After a stop: the requests in flight over both protocols drained, the
// log's lines left written; the exit status.
int finish(House& house, GrpcListener* grpc, std::FILE* out) {
  const ServeSettings& settings = house.settings;
  // The calls over gRPC drain beside the connections over HTTP.
  std::thread grpc_stop([&] {
    if (grpc) grpc->stop(settings.drain);
  });
  // The sessions use what lives here, and a log nobody reads cannot be
  // waited for: past the drain time, the process ends without them rather
  // than leave them reading freed memory.
  const bool drained = house.connections.wait_empty(settings.drain);
  grpc_stop.join();
  if (const std::uint64_t dropped = house.log.dropped(); dropped > 0) house.log.say(log_lines_dropped_message(dropped));
  if (!drained || !house.log.drain(LOG_DRAIN)) {
    std::fflush(out);  // not the log's stream: its writer may hold it
    std::_Exit(EXIT_OK);
  }
  return EXIT_OK;
}

}  // namespace

std::string answer_bytes(const Models& models, const ServeSettings& settings, std::string_view raw) {
  House house(models, settings, nullptr);
  return answer_bytes(house.transport(), raw);
}

int serve(const Models& models, const ServeSettings& settings, std::FILE* out, std::FILE* log_file) {
  asio::io_context io;
  tcp::acceptor acceptor(io);
  auto house = std::make_unique<House>(models, settings, log_file);
  house->metrics.log_dropped_from(&house->log);
  if (!listen_on(acceptor, io, settings, house->log)) {
    house->log.drain(std::chrono::milliseconds(1000));
    return EXIT_FAILED;
  }
  const Transport transport = house->transport();
  std::unique_ptr<GrpcListener> grpc;
  if (settings.grpc) {
    Expected<std::unique_ptr<GrpcListener>, std::string> started = GrpcListener::start(transport);
    if (!started) {
      house->log.say(started.error());
      house->log.drain(std::chrono::milliseconds(1000));
      return EXIT_FAILED;
    }
    grpc = std::move(*started);
  }
  asio::signal_set signals(io, SIGINT, SIGTERM, SIGHUP);
  std::function<void()> wait_for_signal = [&] {
    signals.async_wait([&](const boost::system::error_code& e, int signal) {
      if (e) return;
      if (signal == SIGHUP) {
        reload(house->store, house->metrics, house->log);
        wait_for_signal();
        return;
      }
      house->stopping = true;
      acceptor.close();
      signals.cancel();
      house->stop.raise();
    });
  };
  wait_for_signal();
  // Only now, with the signals taken: a client that reads this line may
  // send SIGHUP or SIGTERM at once.
  const tcp::endpoint bound = acceptor.local_endpoint();
  std::fputs(listening_message("http://" + url_host(bound.address()) + ":" + std::to_string(bound.port())).c_str(), out);
  if (grpc) std::fputs(listening_grpc_message(grpc->address()).c_str(), out);
  std::fflush(out);
  std::function<void()> accept = [&] {
    acceptor.async_accept([&](const boost::system::error_code& e, tcp::socket socket) {
      if (e) return;  // closed at a stop
      start_session(std::move(socket), transport);
      accept();
    });
  };
  accept();
  io.run();
  return finish(*house, grpc.get(), out);
}

}  // namespace karva
