#include "render/onnx_graph.h"

#include <bit>
#include <cctype>
#include <charconv>
#include <stdexcept>

#include <onnx/onnx_pb.h>

#include "render/operator_text.h"

namespace karva {
namespace {

// A form's grammar:
//   form       = { name "=" expression ";" } expression
//   expression = Operator "(" expression { "," expression } ")"
//              | name | "%" tensor | "#" hexadecimal double
// where the tensors and numbers are what operator_text put for $a, $b and
// the constants. A form that breaks it is a fault of the table, found by
// the tests of every operator.
class FormReader {
 public:
  FormReader(std::string_view text, OnnxGraph& graph) : text_(text), graph_(graph) {}

  std::string form() {
    for (;;) {
      const std::size_t start = at_;
      const std::string name = word();
      if (name.empty() || !take('=')) {
        at_ = start;
        break;
      }
      std::string value = expression();
      expect(';');
      locals_[name] = std::move(value);
    }
    std::string value = expression();
    skip_spaces();
    if (at_ != text_.size()) fault("text after the expression");
    return value;
  }

 private:
  std::string expression() {
    skip_spaces();
    if (take('%')) return token();
    if (take('#')) {
      const std::string number = token();
      double value = 0;
      const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value,
                                                std::chars_format::hex);
      if (error != std::errc() || end != number.data() + number.size()) fault("a number");
      return graph_.constant(value);
    }
    const std::string name = word();
    if (name.empty()) fault("an expression");
    if (!take('(')) {
      const auto local = locals_.find(name);
      if (local == locals_.end()) fault("a defined name");
      return local->second;
    }
    std::vector<std::string> inputs{expression()};
    while (take(',')) inputs.push_back(expression());
    expect(')');
    return graph_.node(name, inputs);
  }

  // Letters, digits and _; empty when there are none.
  std::string word() {
    skip_spaces();
    const std::size_t start = at_;
    while (at_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[at_])) || text_[at_] == '_')) ++at_;
    return std::string(text_.substr(start, at_ - start));
  }
  // Up to the next delimiter.
  std::string token() {
    const std::size_t start = at_;
    while (at_ < text_.size() && text_.find_first_of(",); ", at_) != at_) ++at_;
    return std::string(text_.substr(start, at_ - start));
  }
  bool take(char c) {
    skip_spaces();
    if (at_ < text_.size() && text_[at_] == c) return ++at_, true;
    return false;
  }
  void expect(char c) {
    if (!take(c)) fault(std::string("'") + c + "'");
  }
  void skip_spaces() {
    while (at_ < text_.size() && text_[at_] == ' ') ++at_;
  }
  [[noreturn]] void fault(const std::string& wanted) const {
    throw std::logic_error("ONNX form: " + wanted + " expected at " + std::to_string(at_) + " in " +
                           std::string(text_));
  }

  std::string_view text_;
  std::size_t at_ = 0;
  OnnxGraph& graph_;
  std::map<std::string, std::string> locals_;
};

// A double as the form's number: hexadecimal, exact (nan, inf and -inf
// included).
std::string form_number(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::hex);
  return "#" + std::string(buffer, result.ptr);
}

}  // namespace

OnnxGraph::OnnxGraph(onnx::GraphProto& graph, std::string prefix, std::string input)
    : graph_(graph), prefix_(std::move(prefix)), input_(std::move(input)) {}

std::string OnnxGraph::fresh_name() { return prefix_ + std::to_string(count_++); }

std::string OnnxGraph::constant(double value) {
  const auto [at, added] = constants_.try_emplace(std::bit_cast<std::uint64_t>(value));
  if (!added) return at->second;
  const std::string stored = fresh_name();
  onnx::TensorProto& tensor = *graph_.add_initializer();
  tensor.set_name(stored);
  tensor.set_data_type(onnx::TensorProto::DOUBLE);
  tensor.add_double_data(value);
  // c - (+0) is c for every double: -0, infinities and NaN too.
  at->second = fresh_name();
  add_node("Sub", {stored, shield()}, at->second);
  return at->second;
}

const std::string& OnnxGraph::shield() {
  if (shield_.empty()) {
    const std::string size = node("Size", {input_});
    const std::string product = node("Mul", {size, integers({0}, true)});
    shield_ = node_with("Cast", {product}, "to", onnx::TensorProto::DOUBLE);
  }
  return shield_;
}

std::string OnnxGraph::row_zeros() {
  const std::string rows = node_with("Shape", {input_}, "end", 1);
  const std::string zeros = fresh_name();
  onnx::AttributeProto& value = *add_node("ConstantOfShape", {rows}, zeros).add_attribute();
  value.set_name("value");
  value.set_type(onnx::AttributeProto::TENSOR);
  value.mutable_t()->set_data_type(onnx::TensorProto::DOUBLE);
  value.mutable_t()->add_dims(1);
  value.mutable_t()->add_double_data(0.0);
  return zeros;
}

std::string OnnxGraph::node_with(std::string_view op, const std::vector<std::string>& inputs, const char* attribute,
                                 std::int64_t value) {
  const std::string output = fresh_name();
  set_integer(add_node(op, inputs, output), attribute, value);
  return output;
}

void OnnxGraph::set_integer(onnx::NodeProto& node, const char* name, std::int64_t value) {
  onnx::AttributeProto& attribute = *node.add_attribute();
  attribute.set_name(name);
  attribute.set_type(onnx::AttributeProto::INT);
  attribute.set_i(value);
}

std::string OnnxGraph::integers(const std::vector<std::int64_t>& values, bool scalar) {
  const std::string name = fresh_name();
  onnx::TensorProto& tensor = *graph_.add_initializer();
  tensor.set_name(name);
  tensor.set_data_type(onnx::TensorProto::INT64);
  if (!scalar) tensor.add_dims(static_cast<std::int64_t>(values.size()));
  for (const std::int64_t v : values) tensor.add_int64_data(v);
  return name;
}

std::string OnnxGraph::node(std::string_view op, const std::vector<std::string>& inputs) {
  std::string key(op);
  for (const std::string& input : inputs) key += " " + input;
  const auto [at, added] = nodes_.try_emplace(key);
  if (added) {
    at->second = fresh_name();
    add_node(op, inputs, at->second);
  }
  return at->second;
}

onnx::NodeProto& OnnxGraph::add_node(std::string_view op, const std::vector<std::string>& inputs,
                                     const std::string& output) {
  onnx::NodeProto& node = *graph_.add_node();
  node.set_op_type(std::string(op));
  for (const std::string& input : inputs) node.add_input(input);
  node.add_output(output);
  return node;
}

std::string OnnxGraph::form(std::string_view text, const std::string& a, const std::string& b) {
  const std::string filled = operator_text(text, form_number, "%" + a, "%" + b);
  return FormReader(filled, *this).form();
}

}  // namespace karva
