// The key as an ONNX model: a graph of the default domain's operators that
// any ONNX runtime scores as karva does.
#pragma once

#include <string>
#include <vector>

#include "base/expected.h"
#include "model/apply.h"
#include "model/key.h"

namespace karva {

// The model's input: one matrix of doubles, a row per case.
inline constexpr const char* ONNX_INPUT_NAME = "input";

struct OnnxModelRequest {
  std::string key_name;                // as the command was given it
  std::string key_sha256;              // of the key file's bytes
  std::vector<std::string> names;      // the inputs' names, or empty
  std::string prediction_name;         // the output's name
  std::string version;                 // karva's
};

// Why no model was written: the output needs a name, not the input's.
struct OnnxError {
  std::string prediction_name;
};

// The model, serialized: IR version 8, opset 17; input `input` (double,
// [N, inputs]) and one output (double, [N]); a row with a NaN input
// predicts NaN.
Expected<std::string, OnnxError> emit_onnx(const Key& key, const PreparedKey& prepared,
                                           const OnnxModelRequest& request);

}  // namespace karva
