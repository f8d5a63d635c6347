// The Open Inference Protocol's infer request over gRPC: a
// ModelInferRequest's inputs read into the matrix that is scored by the
// same tensor rules as a JSON body's, from each datatype's field of
// `contents` or from `raw_input_contents`; and the answer's message.
#pragma once

#include <string>
#include <vector>

#include "grpc_predict_v2.pb.h"
#include "serve/request.h"
#include "serve/scoring.h"

namespace karva {

// The rows of `req` for a model whose inputs are `names`, within `limits`;
// `message_bytes` (the request's size on the wire) bounds every shape.
// Whether the answer is raw follows the request: raw inputs, or
// `binary_data_output` among its parameters, or `binary_data` among its
// output's.
Expected<InferRequest, RequestFault> grpc_inputs(const inference::ModelInferRequest& req,
                                                 const std::vector<std::string>& names, const ReadLimits& limits,
                                                 std::size_t message_bytes);

// The answer: one FP64 output of [rows], in raw_output_contents (a missing
// row NaN: a raw double cannot be null) or in contents.fp64_contents (the
// same: protobuf's doubles have no null either).
void grpc_answer(const InferRequest& request, const std::string& model, const Scored& s,
                 inference::ModelInferResponse& out);

}  // namespace karva
