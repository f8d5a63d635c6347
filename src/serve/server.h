// karva --serve: keys as models behind HTTP, in the Open Inference Protocol
// (V2: KServe, Triton, MLServer) and in the forms MLflow's scoring server
// takes, scored by the run core with exactly the command's numbers.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "engine/plan.h"

namespace karva {

// A key served as a model, by its name.
struct ServedModel {
  std::string path;                 // the key file, read again at SIGHUP
  std::string name;                 // the key file's name without its extension
  LoadedKey key;                    // prepared
  std::vector<std::string> inputs;  // its inputs' names, in the key's order
  bool named = false;               // given by --inputs: CSV bodies are read by them
};

// A model's name: its key file's name without the extension.
std::string model_name(const std::string& key_path);

// The key at `path` as a model: read and built, its inputs named `inputs`
// (which must fit the key) or, when there are none, by their letters, as
// --explain names them without data. The message when it cannot be.
Expected<ServedModel, std::string> load_model(const std::string& path, const std::vector<std::string>& inputs);

// The limits of the service, each with a default; past one, a request is
// answered with its status (413, 408, 503) and nothing else grows.
struct ServeSettings {
  std::string host = "127.0.0.1";
  std::uint16_t port = 8080;  // 0: any free port
  int jobs = 1;               // the pool's threads, which score the large requests one at a time
  std::size_t body_limit = std::size_t{64} << 20;
  std::size_t header_limit = std::size_t{16} << 10;
  std::size_t row_limit = 10'000'000;
  std::chrono::seconds read_timeout{10};
  int max_connections = 256;
  int queue_limit = 64;  // requests being read into rows or scored at once
  std::chrono::seconds drain{10};  // for the requests in flight at a stop
  bool quiet = false;              // no access log
  std::string token;               // when not empty, every endpoint but the health checks needs it
};

// What the service writes back for `raw`, the bytes a client sent on one
// connection (requests one after another), when the client then hangs up:
// the same answers as a connection gives, without a socket or a thread
// (for the fuzz target and the tests).
std::string answer_bytes(const std::vector<ServedModel>& models, const ServeSettings& settings, std::string_view raw);

// Serves until SIGINT or SIGTERM; "Listening on http://HOST:PORT" is the
// first line on `out`, the access log and complaints go to `log`. Gives the
// exit status.
int serve(const std::vector<ServedModel>& models, const ServeSettings& settings, std::FILE* out, std::FILE* log);

}  // namespace karva
