// The service on arbitrary bytes. The first byte chooses a shape: the
// bytes as a body in both protocols' forms (a matrix or a refusal, never a
// crash, and a matrix always fills its shape), the bytes inside a V2
// tensor, an MLflow list of rows or dataframe_split's data, the bytes
// behind many levels of nesting (counted by the next two bytes: deeper
// than any short random input reaches), or the whole service on them as
// what a client sends on a connection (every answer a whole HTTP response).
// A first byte from 0xC0 on has the rest read as a gRPC ModelInferRequest
// (protobuf's wire format) and its inputs read as the gRPC service reads
// them.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unistd.h>

#include "serve/request.h"
#include "serve/request_grpc.h"
#include "serve/server.h"

namespace {

// A model of three inputs (a * b + c), from a key written once to a
// temporary file.
const karva::Models& served() {
  static const karva::Models models = [] {
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
    return karva::Models{std::move(*model)};
  }();
  return models;
}

void check(const karva::Expected<karva::Matrix, karva::RequestFault>& rows, std::size_t most_rows) {
  if (rows && (rows->values.size() != rows->rows * rows->columns || rows->columns != 3 || rows->rows > most_rows))
    __builtin_trap();
  if (!rows && karva::request_fault_message(rows.error()).empty()) __builtin_trap();
}

// Both protocols' readers on `body`, within a small row limit.
void read_both(const std::string& body) {
  const std::vector<std::string> names = {"a", "b", "c"};
  constexpr std::size_t MOST_ROWS = 1000;
  const karva::ReadLimits limits{MOST_ROWS, [](std::size_t rows) { return rows < 500; }};
  check(karva::mlflow_inputs(body, names, limits), MOST_ROWS);
  const auto infer = karva::v2_inputs(body, names, limits);
  if (infer) check(infer->rows, MOST_ROWS);
  else check(karva::Unexpected(infer.error()), MOST_ROWS);
}

// The gRPC reader on a message parsed from `bytes`, when they are one.
void read_grpc(std::string_view bytes) {
  static const bool quiet = (google::protobuf::SetLogHandler(nullptr), true);
  (void)quiet;
  inference::ModelInferRequest request;
  if (!request.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) return;
  constexpr std::size_t MOST_ROWS = 1000;
  const karva::ReadLimits limits{MOST_ROWS, [](std::size_t rows) { return rows < 500; }};
  const auto infer = karva::grpc_inputs(request, {"a", "b", "c"}, limits, bytes.size());
  if (infer) check(infer->rows, MOST_ROWS);
  else check(karva::Unexpected(infer.error()), MOST_ROWS);
}

std::string shaped(std::uint8_t shape, std::string_view rest) {
  const std::string bytes(rest);
  switch (shape % 6) {
    case 1: return R"({"inputs": [{"name": "x", "shape": [2, 3], "datatype": "FP64", "data": )" + bytes + "}]}";
    case 2: return R"({"instances": )" + bytes + "}";
    case 3: return R"({"dataframe_split": {"columns": ["c", "b", "a"], "data": )" + bytes + "}}";
    case 4: {
      const std::size_t depth =
          rest.size() < 2 ? 0 : std::size_t{static_cast<std::uint8_t>(rest[0])} << 8 | static_cast<std::uint8_t>(rest[1]);
      return R"({"instances": )" + std::string(depth, '[') + bytes.substr(std::min<std::size_t>(2, bytes.size())) +
             std::string(depth, ']') + "}";
    }
    default: return bytes;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  constexpr std::uint8_t GRPC_SHAPE = 0xC0;
  if (data[0] >= GRPC_SHAPE) {
    read_grpc(rest);
    return 0;
  }
  if (data[0] % 6 != 5) {
    read_both(shaped(data[0], rest));
    return 0;
  }
  karva::ServeSettings settings;
  settings.quiet = true;
  settings.body_limit = 1 << 16;
  settings.memory_limit = std::size_t{16} << 20;
  const std::string written = karva::answer_bytes(served(), settings, rest);
  if (!written.empty() && !written.starts_with("HTTP/1.")) __builtin_trap();
  return 0;
}
