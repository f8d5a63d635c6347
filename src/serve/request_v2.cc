// The Open Inference Protocol's infer request: one tensor of [rows, n], or
// one per input by name, of any numeric datatype, each read straight into
// its place in the matrix once every tensor's head says where.
#include "serve/request_kit.h"

namespace karva {
namespace {

using namespace request_kit;

// A tensor's shape: whole numbers.
bool read_shape(od::value value, std::size_t body_size, TensorHead& t) {
  od::array dims;
  if (value.get_array().get(dims)) return false;
  t.shape.clear();
  t.count = 1;
  for (auto element : dims) {
    od::value item;
    std::uint64_t d = 0;
    if (element.get(item) || item.get_uint64().get(d)) return false;
    add_dimension(t, d, body_size);
  }
  return true;
}

// The head of one tensor, its fields taken in one walk in whatever order
// they come (its data is read once every head is known).
Expected<TensorHead, RequestFault> read_head(od::value value, std::size_t body_size) {
  od::object object;
  if (value.get_object().get(object)) return fault(Kind::NOT_AN_OBJECT, "each input");
  TensorHead t;
  bool shaped = false;
  for (auto entry : object) {
    std::string_view key;
    od::value item;
    std::string_view text;
    if (entry.unescaped_key().get(key) || entry.value().get(item)) return fault(Kind::NOT_JSON);
    if (key == "name" || key == "datatype") {
      if (item.get_string().get(text)) return fault(Kind::NOT_A_STRING, std::string(key));
      (key == "name" ? t.name : t.datatype) = std::string(text);
    } else if (key == "shape") {
      shaped = read_shape(item, body_size, t);
    } else if (key == "parameters") {
      od::object parameters;
      od::value size;
      std::uint64_t bytes = 0;
      if (!item.get_object().get(parameters) && field(parameters, "binary_data_size", size) && !size.get_uint64().get(bytes))
        t.binary_size = bytes;
    }
  }
  t.type = datatype_of(t.datatype);
  if (t.type.kind != Datatype::NONE && !shaped) return fault(Kind::BAD_SHAPE, t.name);
  if (std::optional<RequestFault> bad = check_head(t, body_size)) return Unexpected(std::move(*bad));
  return t;
}

// The tensors' heads, in their order.
Expected<std::vector<TensorHead>, RequestFault> read_heads(od::value value, std::size_t body_size) {
  od::array inputs;
  if (value.get_array().get(inputs)) return fault(Kind::NOT_A_LIST, "inputs");
  std::vector<TensorHead> heads;
  for (auto element : inputs) {
    od::value item;
    if (element.get(item)) return fault(Kind::NOT_JSON);
    Expected<TensorHead, RequestFault> head = read_head(item, body_size);
    if (!head) return Unexpected(std::move(head).error());
    heads.push_back(std::move(*head));
  }
  return heads;
}

// Whether an object's parameters hold `name` as true.
bool parameter_is_true(od::object& object, std::string_view name) {
  od::value parameters;
  od::object fields;
  od::value flag;
  bool on = false;
  return field(object, "parameters", parameters) && !parameters.get_object().get(fields) && field(fields, name, flag) &&
         !flag.get_bool().get(on) && on;
}

// The outputs a request asks for: each must be the model's one; `binary`
// when one asks for its data as binary.
std::optional<RequestFault> check_outputs(od::value value, bool& binary) {
  od::array outputs;
  if (value.get_array().get(outputs)) return RequestFault{Kind::NOT_A_LIST, "outputs"};
  for (auto element : outputs) {
    od::object output;
    od::value name;
    std::string_view text;
    if (element.get_object().get(output)) return RequestFault{Kind::NOT_AN_OBJECT, "each output"};
    if (!field(output, "name", name) || name.get_string().get(text)) return RequestFault{Kind::NOT_A_STRING, "name"};
    if (text != OUTPUT_NAME) return RequestFault{Kind::NO_SUCH_OUTPUT, std::string(text)};
    binary = binary || parameter_is_true(output, "binary_data");
  }
  return std::nullopt;
}

// The request's id and its tensors' heads, in one walk of its fields.
Expected<std::vector<TensorHead>, RequestFault> read_top(Document& d, std::size_t body_size, InferRequest& request) {
  std::optional<Expected<std::vector<TensorHead>, RequestFault>> heads;
  for (auto entry : d.top) {
    std::string_view key;
    od::value value;
    std::string_view id;
    if (entry.unescaped_key().get(key) || entry.value().get(value)) return fault(Kind::NOT_JSON);
    if (key == "id" && !value.get_string().get(id)) request.id = std::string(id);
    if (key == "inputs" && !heads) heads = read_heads(value, body_size);
    if (key == "outputs")
      if (std::optional<RequestFault> bad = check_outputs(value, request.binary_output)) return Unexpected(std::move(*bad));
    od::object parameters;
    od::value flag;
    bool on = false;
    if (key == "parameters" && !value.get_object().get(parameters) && field(parameters, "binary_data_output", flag) &&
        !flag.get_bool().get(on))
      request.binary_output = request.binary_output || on;
  }
  if (!heads) return fault(Kind::NO_INPUTS);
  return std::move(*heads);
}

// The binary data of one tensor, from `at` in `binary` on, into its place.
std::optional<RequestFault> fill_binary(std::string_view binary, std::size_t& at, const TensorHead& head,
                                        const Placement& place, Matrix& m) {
  const std::uint64_t wanted = place.count * value_bytes(head.type);
  if (*head.binary_size != wanted)
    return RequestFault{Kind::BINARY_SIZE, head.name, std::to_string(*head.binary_size), wanted};
  if (binary.size() - at < wanted) return RequestFault{Kind::BINARY_SHORT, head.name};
  at += wanted;
  return fill_raw(binary.substr(at - wanted, wanted), head, place, m);
}

// One tensor's data, from the JSON or from the binary data after it.
std::optional<RequestFault> fill_tensor(od::object& object, std::string_view binary, std::size_t& binary_at,
                                        const TensorHead& head, const Placement& place, Matrix& m) {
  od::value data;
  if (head.binary_size) return fill_binary(binary, binary_at, head, place, m);
  if (!field(object, "data", data))
    return place.count == 0 ? std::nullopt : std::optional(RequestFault{Kind::SHAPE_UNFILLED, head.name, shape_text(head)});
  std::optional<RequestFault> bad = fill(data, m, place, head.name, head.type);
  if (bad && bad->kind == Kind::SHAPE_UNFILLED) bad->other = shape_text(head);
  if (bad && bad->kind == Kind::BAD_VALUE && head.type.kind != Datatype::FP64)
    *bad = RequestFault{Kind::BAD_INTEGER, head.name, head.datatype};
  return bad;
}

}  // namespace

Expected<InferRequest, RequestFault> v2_inputs(const std::string& body, const std::vector<std::string>& names,
                                               const ReadLimits& limits, std::optional<std::size_t> json_size) {
  const std::size_t json = json_size.value_or(body.size());
  if (json > body.size()) return fault(Kind::BAD_HEADER_LENGTH);
  const std::string_view binary = std::string_view(body).substr(json);
  Document d;
  if (std::optional<RequestFault> bad = open(body, json, d)) return Unexpected(std::move(*bad));
  InferRequest request;
  od::value value;
  Expected<std::vector<TensorHead>, RequestFault> heads = read_top(d, body.size(), request);
  if (!heads) return Unexpected(std::move(heads).error());
  std::size_t rows = 0;
  Expected<std::vector<Placement>, RequestFault> at = place(*heads, names, rows);
  if (!at) return Unexpected(std::move(at).error());
  Expected<Matrix, RequestFault> m = make_matrix(rows, names.size(), limits);
  if (!m) return Unexpected(std::move(m).error());
  od::array inputs;
  if (!field(d.top, "inputs", value) || value.get_array().get(inputs)) return fault(Kind::NOT_JSON);
  std::size_t k = 0;
  std::size_t binary_at = 0;
  for (auto element : inputs) {
    od::object object;
    if (element.get_object().get(object)) return fault(Kind::NOT_JSON);
    if (std::optional<RequestFault> bad = fill_tensor(object, binary, binary_at, (*heads)[k], (*at)[k], *m))
      return Unexpected(std::move(*bad));
    ++k;
  }
  if (binary_at != binary.size()) return fault(Kind::BINARY_LEFT, "", "", binary.size() - binary_at);
  request.rows = std::move(*m);
  return request;
}

}  // namespace karva
