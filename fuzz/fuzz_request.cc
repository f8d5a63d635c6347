// The service's request reader on arbitrary bodies, in both protocols'
// forms: it answers a matrix or a refusal, never a crash, and a matrix
// always fills its shape.
#include <cstdint>
#include <string_view>

#include "serve/request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> names = {"a", "b", "c"};
  for (const auto& read : {karva::v2_inputs, karva::mlflow_inputs}) {
    const auto rows = read(body, names);
    if (rows && rows->values.size() != rows->rows * rows->columns) __builtin_trap();
    if (!rows && rows.error().message.empty()) __builtin_trap();
  }
  return 0;
}
