// Models that the ONNX library's own checker accepts, for every operator
// and for names that could clash. What
// onnxruntime computes from them is tested by python/tests/test_onnx.py.
#include "render/emit_onnx.h"

#include <gtest/gtest.h>
#include <onnx/checker.h>
#include <onnx/onnx_pb.h>

#include <stdexcept>

#include "engine/plan.h"
#include "model/ops.h"
#include "render/onnx_graph.h"
#include "support/key_writer.h"
#include "text/digest.h"

namespace karva {
namespace {

using testing::key_bytes;

onnx::ModelProto model_of(const std::string& bytes, const std::string& prediction = "predict") {
  Expected<LoadedKey, PlanError> loaded = plan_key_from_bytes("k.key", bytes, true);
  EXPECT_TRUE(loaded);
  const Expected<std::string, OnnxError> written =
      emit_onnx(loaded->key, *loaded->prepared, {"k.key", sha256_hex(bytes), {}, prediction, "1"});
  EXPECT_TRUE(written);
  onnx::ModelProto model;
  EXPECT_TRUE(model.ParseFromString(*written));
  return model;
}

TEST(EmitOnnx, EveryOperatorAndNamesThatCouldClashPassTheChecker) {
  struct Case {
    std::string key;
    std::string prediction;
  };
  std::vector<Case> cases;
  for (const Operator& op : OPERATORS) {
    const std::string symbols = std::string(1, static_cast<char>(op.symbol)) + (op.arity == 2 ? "ab" : "a");
    cases.push_back({key_bytes(2, {{0.5, 2.0, symbols, 0.0}, {0.0, 1.0, symbols + "c", 0.0}}), "predict"});
  }
  cases.push_back({key_bytes(1, {{1.0, 2.0, "SEa", 0.0}}), "_t3"});
  cases.push_back({key_bytes(1, {{1.0, 2.0, "+aa", 0.0}}), "___t0"});
  for (const Case& c : cases) {
    const onnx::ModelProto model = model_of(c.key, c.prediction);
    EXPECT_NO_THROW(onnx::checker::check_model(model)) << c.prediction;
    EXPECT_EQ(model.graph().output(0).name(), c.prediction);
  }
}

TEST(EmitOnnx, TheInputsNameIsRefusedForTheOutput) {
  Expected<LoadedKey, PlanError> loaded = plan_key_from_bytes("k.key", testing::IDENTITY, true);
  for (const char* name : {"input", ""})
    EXPECT_FALSE(emit_onnx(loaded->key, *loaded->prepared, {"k.key", "", {}, name, "1"})) << name;
}

TEST(EmitOnnx, AFormThatBreaksItsGrammarIsAFaultOfTheTable) {
  onnx::GraphProto graph;
  OnnxGraph g(graph, "t", "input");
  for (const char* form : {"Add($a, $b", "Add($a $b)", "x = Abs($a); Neg(y)", "Add($a, $b) $a"})
    EXPECT_THROW(g.form(form, "a", "b"), std::logic_error) << form;
  // The same subexpression is one node.
  EXPECT_EQ(g.form("Add(Abs($a), Abs($a))", "a", "b"), g.form("x = Abs($a); Add(x, x)", "a", "b"));
}

TEST(Digest, Sha256OfKnownTexts) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace karva
