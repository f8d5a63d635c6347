#include "render/emit_onnx.h"

#include <onnx/onnx_pb.h>

#include "model/ops.h"
#include "render/emit.h"
#include "render/explain.h"
#include "render/onnx_graph.h"
#include "text/escape.h"

namespace karva {
namespace {

constexpr int ONNX_IR_VERSION = 8;
constexpr int ONNX_OPSET = 17;

// A double tensor of shape [N] or [N, columns], N named.
void describe_tensor(onnx::ValueInfoProto& value, const std::string& name, int columns) {
  value.set_name(name);
  onnx::TypeProto_Tensor& tensor = *value.mutable_type()->mutable_tensor_type();
  tensor.set_elem_type(onnx::TensorProto::DOUBLE);
  tensor.mutable_shape()->add_dim()->set_dim_param("N");
  if (columns >= 0) tensor.mutable_shape()->add_dim()->set_dim_value(columns);
}

// The graph's tensors of the key's columns: its inputs, each taken from the
// input matrix when a gene first reads it, then each gene's value.
class Columns {
 public:
  Columns(OnnxGraph& graph, int inputs) : graph_(graph), tensors_(static_cast<std::size_t>(inputs)) {}

  const std::string& operator[](std::size_t column) {
    std::string& tensor = tensors_[column];
    if (tensor.empty())
      tensor = graph_.node_with("Gather", {ONNX_INPUT_NAME, graph_.integers({static_cast<std::int64_t>(column)}, true)},
                                "axis", 1);
    return tensor;
  }
  // The value of a symbol with no operation: a zero a row, so that every
  // gene's value is one a row too.
  const std::string& zeros() {
    if (zeros_.empty()) zeros_ = graph_.row_zeros();
    return zeros_;
  }
  void add_gene(std::string tensor) { tensors_.push_back(std::move(tensor)); }

 private:
  OnnxGraph& graph_;
  std::vector<std::string> tensors_;
  std::string zeros_;
};

// One gene's nodes: its program, operation by operation, each by its
// operator's form; then value * slope + intercept, two roundings.
std::string gene_nodes(const PreparedGene& gene, OnnxGraph& graph, Columns& columns) {
  const GeneProgram& program = gene.program;
  std::vector<std::string> slots(program.slots);
  const auto operand = [&](std::size_t v) -> std::string {
    if (v < program.columns) return columns[v];
    if (v == program.columns) return columns.zeros();
    return slots[v - program.columns - 1];
  };
  for (const Instruction& in : program.code) {
    const Operator& op = operator_info(in.op);
    slots[in.slot] = graph.form(op.onnx, operand(in.a), op.arity == 2 ? operand(in.b) : std::string());
  }
  const std::string product = graph.node("Mul", {operand(program.result), graph.constant(gene.slope)});
  return graph.node("Add", {product, graph.constant(gene.intercept)});
}

// Whether each row holds a NaN: [N] booleans, false for a key of no inputs.
std::string rows_with_nan(OnnxGraph& graph) {
  const std::string nan = graph.node("IsNaN", {ONNX_INPUT_NAME});
  const std::string as_double = graph.node_with("Cast", {nan}, "to", onnx::TensorProto::DOUBLE);
  const std::string count =
      graph.node_with("ReduceSum", {as_double, graph.integers({1}, false)}, "keepdims", 0);
  return graph.node("Greater", {count, graph.constant(0.0)});
}

// What the model says of itself, for a reader and for a program.
void describe_model(onnx::ModelProto& model, const Key& key, const OnnxModelRequest& request) {
  model.set_ir_version(ONNX_IR_VERSION);
  onnx::OperatorSetIdProto& opset = *model.add_opset_import();
  opset.set_domain("");
  opset.set_version(ONNX_OPSET);
  model.set_producer_name("karva");
  model.set_producer_version(request.version);
  std::string doc;
  for (const std::string& line : key_description(request.key_name, key, request.names)) doc += line + "\n";
  model.set_doc_string(doc + "The input is one row per case, the inputs in this order; a row with a NaN "
                             "(a missing value) predicts NaN.\n");
  std::string inputs;
  for (const std::string& name : input_names_or_letters(request.names, key.variable_count))
    inputs += (inputs.empty() ? "" : ", ") + json_string(name);
  const std::pair<const char*, std::string> properties[] = {
      {"karva_version", request.version},
      {"key_file", request.key_name},
      {"key_sha256", request.key_sha256},
      {"inputs", "[" + inputs + "]"},
  };
  for (const auto& [name, value] : properties) {
    onnx::StringStringEntryProto& entry = *model.add_metadata_props();
    entry.set_key(name);
    entry.set_value(value);
  }
}

}  // namespace

Expected<std::string, OnnxError> emit_onnx(const Key& key, const PreparedKey& prepared,
                                           const OnnxModelRequest& request) {
  if (request.prediction_name.empty() || request.prediction_name == ONNX_INPUT_NAME) return Unexpected(OnnxError{request.prediction_name});
  onnx::ModelProto model;
  describe_model(model, key, request);
  onnx::GraphProto& graph_proto = *model.mutable_graph();
  graph_proto.set_name("karva");
  describe_tensor(*graph_proto.add_input(), ONNX_INPUT_NAME, prepared.variable_count);
  describe_tensor(*graph_proto.add_output(), request.prediction_name, -1);

  // The graph's own tensors have more leading underscores than the output's
  // name, so that none takes it.
  const std::size_t underscores = request.prediction_name.find_first_not_of('_');
  OnnxGraph graph(graph_proto,
                  std::string(underscores == std::string::npos ? request.prediction_name.size() + 1 : underscores + 1,
                              '_') + "t", ONNX_INPUT_NAME);
  Columns columns(graph, prepared.variable_count);
  std::string value;
  for (const PreparedGene& gene : prepared.genes) {
    value = gene_nodes(gene, graph, columns);
    columns.add_gene(value);
  }
  graph.add_node("Where", {rows_with_nan(graph), graph.constant(std::numeric_limits<double>::quiet_NaN()), value},
                 request.prediction_name);
  std::string bytes;
  model.SerializeToString(&bytes);
  return bytes;
}

}  // namespace karva
