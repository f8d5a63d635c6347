// The rows of a scoring request: JSON in the Open Inference Protocol (V2) or
// in the forms MLflow's scoring server takes, read into a matrix of doubles;
// and the predictions written back as JSON.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/expected.h"

namespace karva {

// Rows of inputs, row after row; NaN marks a missing value.
struct Matrix {
  std::size_t rows = 0;
  std::size_t columns = 0;
  std::vector<double> values;
};

// Why a request cannot be scored: an HTTP status and what to say.
struct RequestError {
  int status = 400;
  std::string message;
};

// A V2 infer request: its rows, and the id the answer echoes, when it has one.
struct InferRequest {
  Matrix rows;
  std::optional<std::string> id;
};

// The inputs of a V2 infer request for a model whose inputs are `names`:
// one FP64 input of shape [rows, n], or one input per name of shape [rows].
Expected<InferRequest, RequestError> v2_inputs(std::string_view body, const std::vector<std::string>& names);

// The inputs of an MLflow request: dataframe_split, dataframe_records,
// instances or inputs: rows by position or by the names, or (instances and
// inputs) an object of columns by name.
Expected<Matrix, RequestError> mlflow_inputs(std::string_view body, const std::vector<std::string>& names);

// A prediction as JSON: the shortest number that reads back as the same
// double; null for a row that misses an input; the strings "NaN",
// "Infinity" and "-Infinity" for what JSON has no number for.
void append_json_prediction(std::string& out, double prediction, bool missing);

}  // namespace karva
