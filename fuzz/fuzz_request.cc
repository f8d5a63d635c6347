// The service's request reader on arbitrary bodies, in both protocols'
// forms: it answers a matrix or a refusal, never a crash, and a matrix
// always fills its shape.
#include <cstdint>
#include <string_view>

#include "serve/request.h"

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
  return 0;
}
