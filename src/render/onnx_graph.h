// A graph of ONNX nodes grown from the operators' forms: every constant one
// initializer, every subexpression one node however often it is written.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace onnx {
class GraphProto;
class NodeProto;
}  // namespace onnx

namespace karva {

class OnnxGraph {
 public:
  // Tensors the graph makes are named `prefix` and a number; `input` is
  // the graph's input, a matrix of doubles.
  OnnxGraph(onnx::GraphProto& graph, std::string prefix, std::string input);

  // A scalar double tensor holding `value`, exactly, which no optimizer of
  // a runtime sees as a constant. onnxruntime's (at its basic level, on by
  // default) drops x + c for any c within 1e-8 of zero and x * c within
  // 1e-5 of one, and folds other patterns of constants that are not exact
  // in doubles; an initializer minus a zero that depends on the input is
  // out of their reach.
  std::string constant(double value);
  // Zeros, one a row: [N].
  std::string row_zeros();
  // An int64 initializer: a scalar, or a list of `values`.
  std::string integers(const std::vector<std::int64_t>& values, bool scalar);

  // The output of the node `op` on `inputs`, made when no node so far is
  // that operation on those inputs.
  std::string node(std::string_view op, const std::vector<std::string>& inputs);
  // A node of its own (for attributes), writing `output`.
  onnx::NodeProto& add_node(std::string_view op, const std::vector<std::string>& inputs, const std::string& output);
  // `op` with one integer attribute; its output's name.
  std::string node_with(std::string_view op, const std::vector<std::string>& inputs, const char* attribute,
                        std::int64_t value);
  std::string fresh_name();

  // The value of an operator's ONNX form (model/ops.h) on the tensors `a`
  // and `b`.
  std::string form(std::string_view text, const std::string& a, const std::string& b);

 private:
  // A zero scalar computed from the input's size.
  const std::string& shield();
  // An attribute of one integer.
  static void set_integer(onnx::NodeProto& node, const char* name, std::int64_t value);

  onnx::GraphProto& graph_;
  std::string prefix_;
  std::string input_;
  std::string shield_;
  std::size_t count_ = 0;
  std::map<std::uint64_t, std::string> constants_;  // by the value's bits
  std::map<std::string, std::string> nodes_;        // by "op(inputs)"
};

}  // namespace karva
