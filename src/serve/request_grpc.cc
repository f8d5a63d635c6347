#include "serve/request_grpc.h"

#include <bit>
#include <type_traits>

#include "serve/routes.h"
#include "serve/tensors.h"

namespace karva {
namespace {

using Kind = RequestFault::Kind;
using Tensor = inference::ModelInferRequest::InferInputTensor;

// One input's head; its shape's dimensions must be whole numbers.
Expected<TensorHead, RequestFault> read_head(const Tensor& tensor, std::size_t message_bytes) {
  TensorHead t;
  t.name = tensor.name();
  t.datatype = tensor.datatype();
  t.type = datatype_of(t.datatype);
  for (const std::int64_t d : tensor.shape()) {
    if (d < 0 && t.type.kind != Datatype::NONE) return fault(Kind::BAD_SHAPE, t.name);
    add_dimension(t, static_cast<std::uint64_t>(d), message_bytes);
  }
  if (std::optional<RequestFault> bad = check_head(t, message_bytes)) return Unexpected(std::move(*bad));
  return t;
}

// The values of one of `contents`' fields, each converted as C++ converts
// it and, for the narrower integers, held to their datatype's range.
template <typename Values>
std::optional<RequestFault> fill_values(const Values& values, const TensorHead& head, const Placement& at, Matrix& m) {
  if (static_cast<std::size_t>(values.size()) != at.count) return RequestFault{Kind::SHAPE_UNFILLED, head.name, shape_text(head)};
  using Value = std::remove_cvref_t<decltype(values[0])>;
  for (std::size_t i = 0; i < at.count; ++i) {
    const Value v = values[static_cast<int>(i)];
    if constexpr (std::is_integral_v<Value> && !std::is_same_v<Value, bool>) {
      using Wide = std::conditional_t<std::is_signed_v<Value>, std::int64_t, std::uint64_t>;
      if (!fits_integer(static_cast<Wide>(v), head.type.bits)) return RequestFault{Kind::BAD_INTEGER, head.name, head.datatype};
    }
    m.values[at.offset + i * at.stride] = static_cast<double>(v);
  }
  return std::nullopt;
}

// One input's data from the field of `contents` that its datatype uses.
std::optional<RequestFault> fill_contents(const Tensor& tensor, const TensorHead& head, const Placement& at, Matrix& m) {
  const inference::InferTensorContents& c = tensor.contents();
  const bool wide = head.type.bits == 64;
  switch (head.type.kind) {
    case Datatype::FP64: return fill_values(c.fp64_contents(), head, at, m);
    case Datatype::FP32: return fill_values(c.fp32_contents(), head, at, m);
    case Datatype::INT: return wide ? fill_values(c.int64_contents(), head, at, m) : fill_values(c.int_contents(), head, at, m);
    case Datatype::UINT:
      return wide ? fill_values(c.uint64_contents(), head, at, m) : fill_values(c.uint_contents(), head, at, m);
    case Datatype::BOOL: return fill_values(c.bool_contents(), head, at, m);
    case Datatype::FP16: return RequestFault{Kind::RAW_ONLY, head.name, head.datatype};
    case Datatype::NONE: break;
  }
  return RequestFault{Kind::BAD_DATATYPE, head.name, head.datatype};
}

// One input's data from its entry of raw_input_contents.
std::optional<RequestFault> fill_raw_input(const std::string& raw, const Tensor& tensor, const TensorHead& head,
                                           const Placement& at, Matrix& m) {
  if (tensor.has_contents()) return RequestFault{Kind::RAW_AND_CONTENTS, head.name};
  const std::uint64_t wanted = at.count * value_bytes(head.type);
  if (raw.size() != wanted) return RequestFault{Kind::RAW_SIZE, head.name, std::to_string(raw.size()), wanted};
  return fill_raw(raw, head, at, m);
}

bool parameter_is_true(const google::protobuf::Map<std::string, inference::InferParameter>& parameters,
                       const std::string& name) {
  const auto found = parameters.find(name);
  return found != parameters.end() && found->second.parameter_choice_case() == inference::InferParameter::kBoolParam &&
         found->second.bool_param();
}

// The outputs asked for: only the model's one; whether one asks for raw data.
std::optional<RequestFault> check_outputs(const inference::ModelInferRequest& req, bool& raw) {
  for (const auto& output : req.outputs()) {
    if (output.name() != OUTPUT_NAME) return RequestFault{Kind::NO_SUCH_OUTPUT, output.name()};
    raw = raw || parameter_is_true(output.parameters(), "binary_data");
  }
  return std::nullopt;
}

}  // namespace

Expected<InferRequest, RequestFault> grpc_inputs(const inference::ModelInferRequest& req,
                                                 const std::vector<std::string>& names, const ReadLimits& limits,
                                                 std::size_t message_bytes) {
  InferRequest request;
  const bool raw = req.raw_input_contents_size() > 0;
  request.binary_output = raw || parameter_is_true(req.parameters(), "binary_data_output");
  if (std::optional<RequestFault> bad = check_outputs(req, request.binary_output)) return Unexpected(std::move(*bad));
  if (!req.id().empty()) request.id = req.id();
  if (req.inputs_size() == 0) return fault(Kind::NO_INPUTS);
  if (raw && req.raw_input_contents_size() != req.inputs_size())
    return fault(Kind::RAW_COUNT, "", std::to_string(req.raw_input_contents_size()), static_cast<std::uint64_t>(req.inputs_size()));
  std::vector<TensorHead> heads;
  for (const Tensor& tensor : req.inputs()) {
    Expected<TensorHead, RequestFault> head = read_head(tensor, message_bytes);
    if (!head) return Unexpected(std::move(head).error());
    heads.push_back(std::move(*head));
  }
  std::size_t rows = 0;
  Expected<std::vector<Placement>, RequestFault> at = place(heads, names, rows);
  if (!at) return Unexpected(std::move(at).error());
  Expected<Matrix, RequestFault> m = make_matrix(rows, names.size(), limits);
  if (!m) return Unexpected(std::move(m).error());
  for (int k = 0; k < req.inputs_size(); ++k) {
    const auto i = static_cast<std::size_t>(k);
    std::optional<RequestFault> bad = raw ? fill_raw_input(req.raw_input_contents(k), req.inputs(k), heads[i], (*at)[i], *m)
                                          : fill_contents(req.inputs(k), heads[i], (*at)[i], *m);
    if (bad) return Unexpected(std::move(*bad));
  }
  request.rows = std::move(*m);
  return request;
}

void grpc_answer(const InferRequest& request, const std::string& model, const Scored& s,
                 inference::ModelInferResponse& out) {
  static_assert(std::endian::native == std::endian::little, "raw tensor data is little-endian");
  out.set_model_name(model);
  out.set_model_version(MODEL_VERSION);
  if (request.id) out.set_id(*request.id);
  inference::ModelInferResponse::InferOutputTensor& output = *out.add_outputs();
  output.set_name(OUTPUT_NAME);
  output.set_datatype("FP64");
  output.add_shape(static_cast<std::int64_t>(s.predictions.size()));
  // A missing row's prediction is NaN already, as the scoring makes it.
  if (request.binary_output) {
    out.add_raw_output_contents()->assign(reinterpret_cast<const char*>(s.predictions.data()),
                                          s.predictions.size() * sizeof(double));
    return;
  }
  output.mutable_contents()->mutable_fp64_contents()->Add(s.predictions.begin(), s.predictions.end());
}

}  // namespace karva
