#include "platform/speech/moonshine/weights.h"

#include <gtest/gtest.h>
#include <onnx/onnx_pb.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "platform/speech/error.h"
#include "tests/support/temp_dir.h"

namespace speech::moonshine {
namespace {

// A model file whose one node takes, at input 0, a float tensor of `dims` holding one value.
std::string oneWeightModel(const testing_support::TempDir& dir,
                           const std::vector<std::int64_t>& dims) {
  // Names as strings: GCC 12 warns falsely (-Wrestrict) on protobuf's setters from literals.
  const std::string node_name = "scale", weight_name = "w";
  onnx::ModelProto model;
  onnx::GraphProto* graph = model.mutable_graph();
  onnx::NodeProto* node = graph->add_node();
  node->set_name(node_name);
  node->add_input(weight_name);
  onnx::TensorProto* w = graph->add_initializer();
  w->set_name(weight_name);
  w->set_data_type(onnx::TensorProto::FLOAT);
  for (std::int64_t d : dims) w->add_dims(d);
  float value = 0.5f;
  w->set_raw_data(std::string(reinterpret_cast<const char*>(&value), sizeof value));
  return dir.write("one.onnx", model.SerializeAsString());
}

TEST(OnnxWeightsTest, OnlyDimensionsOfOneElementPassAsAScalar) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  struct Case {
    const char* what;
    std::vector<std::int64_t> dims;
    bool scalar;
  };
  const Case cases[] = {
      {"rank 0", {}, true},
      {"rank 3 of ones", {1, 1, 1}, true},
      {"no elements", {1, 0}, false},
      {"two negatives", {-1, -1}, false},
      // 7 * 7905747460161236407 is 1 modulo 2^64: multiplied unchecked it looks like one element.
      {"a product that wraps to one", {7, 7905747460161236407}, false},
      {"a product past 64 bits", {kMax, kMax, 2}, false},
  };
  for (const Case& c : cases) {
    testing_support::TempDir dir("vorlin-weights");
    OnnxWeights weights(oneWeightModel(dir, c.dims));
    if (c.scalar) {
      EXPECT_EQ(weights.scalarFloat("scale", 0), 0.5f) << c.what;
    } else {
      EXPECT_THROW(weights.scalarFloat("scale", 0), Error) << c.what;
    }
  }
}

}  // namespace
}  // namespace speech::moonshine
