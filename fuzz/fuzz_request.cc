// The service on arbitrary bytes: the request reader on them as a body, in
// both protocols' forms (a matrix or a refusal, never a crash, and a matrix
// always fills its shape), and the whole service on them as what a client
// sends on a connection (every answer a whole HTTP response).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <string_view>

#include "serve/request.h"
#include "serve/server.h"

namespace {

// A model of three inputs (a * b + c), from a key written once to a
// temporary file.
const std::vector<karva::ServedModel>& served() {
  static const std::vector<karva::ServedModel> models = [] {
    char path[] = "/tmp/fuzz_request_XXXXXX.key";
    const int fd = mkstemps(path, 4);
    std::string key(8, '\0');
    const std::int32_t header[2] = {3, 1};
    std::memcpy(key.data(), header, sizeof header);
    const double scale[2] = {0.5, 2.0};
    const std::int32_t length = 5;
    key.append(reinterpret_cast<const char*>(scale), sizeof scale);
    key.append(reinterpret_cast<const char*>(&length), sizeof length);
    key += "+*cab";
    key.append(8, '\0');
    if (fd < 0 || write(fd, key.data(), key.size()) != static_cast<ssize_t>(key.size())) __builtin_trap();
    close(fd);
    auto model = karva::load_model(path, {"a", "b", "c"});
    std::remove(path);
    if (!model) __builtin_trap();
    return std::vector<karva::ServedModel>{std::move(*model)};
  }();
  return models;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> names = {"a", "b", "c"};
  const auto check = [](const karva::Expected<karva::Matrix, karva::RequestError>& rows) {
    if (rows && (rows->values.size() != rows->rows * rows->columns || rows->columns != 3)) __builtin_trap();
    if (!rows && rows.error().message.empty()) __builtin_trap();
  };
  check(karva::mlflow_inputs(body, names));
  const auto infer = karva::v2_inputs(body, names);
  if (infer) check(infer->rows);
  else check(karva::Unexpected(infer.error()));
  karva::ServeSettings settings;
  settings.quiet = true;
  settings.body_limit = 1 << 16;
  const std::string written = karva::answer_bytes(served(), settings, body);
  if (!written.empty() && !written.starts_with("HTTP/1.")) __builtin_trap();
  return 0;
}
