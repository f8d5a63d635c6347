// The rows of a scoring request: JSON in the Open Inference Protocol (V2) or
// in the forms MLflow's scoring server takes, read straight into the matrix
// that is scored; and the predictions written back as JSON. Objects are
// read by their keys, in whatever order they come.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/expected.h"
#include "render/messages.h"

namespace karva {

// The name of a model's one output, the prediction.
inline constexpr const char* OUTPUT_NAME = "predict";

// Rows of inputs, row after row; NaN marks a missing value.
struct Matrix {
  std::size_t rows = 0;
  std::size_t columns = 0;
  std::vector<double> values;
};

// What a reading may take: rows, and memory from the service's budget:
// `room_for` is asked for the rows before their matrix is made, and gives
// false when the budget has no room for them (empty: always room).
struct ReadLimits {
  std::size_t most_rows = 0;
  std::function<bool(std::size_t rows)> room_for;
};

// A V2 infer request: its rows, the id the answer echoes, when it has one,
// and whether it asks for the output as binary data.
struct InferRequest {
  Matrix rows;
  std::optional<std::string> id;
  bool binary_output = false;
};

// The inputs of a V2 infer request for a model whose inputs are `names`:
// one input of shape [rows, n], or one input per name of shape [rows] (or
// [rows, 1]), each filling its shape, of any numeric datatype. With
// `json_size` (the request's Inference-Header-Content-Length), the JSON is
// that many bytes and the binary data of the inputs that say their
// binary_data_size follows it, one after another, little-endian.
Expected<InferRequest, RequestFault> v2_inputs(const std::string& body, const std::vector<std::string>& names,
                                               const ReadLimits& limits,
                                               std::optional<std::size_t> json_size = std::nullopt);

// The inputs of an MLflow request: dataframe_split, dataframe_records,
// instances or inputs: rows by position or by the names, or (instances and
// inputs) an object of columns by name. What a row holds besides the
// model's inputs is not read.
Expected<Matrix, RequestFault> mlflow_inputs(const std::string& body, const std::vector<std::string>& names,
                                             const ReadLimits& limits);

// A prediction as JSON: the shortest number that reads back as the same
// double; null for a row that misses an input; the strings "NaN",
// "Infinity" and "-Infinity" for what JSON has no number for.
void append_json_prediction(std::string& out, double prediction, bool missing);

// The most bytes append_json_prediction writes for one row, with its comma.
inline constexpr std::size_t MOST_JSON_PREDICTION_BYTES = 32;

}  // namespace karva
