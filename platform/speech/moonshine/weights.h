#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace onnx {
class ModelProto;
class TensorProto;
}  // namespace onnx

namespace speech::moonshine {

// The initializers of one ONNX file, found through the nodes that consume them. Many weights
// carry only generated names (onnx::MatMul_1493_quantized), but the node using each has a name
// that says what it is (/layers.0/self_attn/q_proj/MatMul_quant), so the graph, including the
// branches of its If nodes, is walked once into a table of (node name, input slot) -> tensor.
class OnnxWeights {
 public:
  // Throws speech::Error naming the file when it is missing, empty or not an ONNX model.
  explicit OnnxWeights(const std::string& path);
  ~OnnxWeights();
  OnnxWeights(const OnnxWeights&) = delete;
  OnnxWeights& operator=(const OnnxWeights&) = delete;

  // The tensor at input `slot` of the node `node`, checked against `shape` (an empty shape is a
  // scalar; a one-element tensor of any rank passes as one). The data is moved out of the
  // parsed file: each tensor can be taken once.
  std::vector<float> floats(const std::string& node, int slot,
                            const std::vector<std::int64_t>& shape);
  // Integer tensors of one byte (uint8 or int8) as their raw bytes.
  std::vector<std::uint8_t> bytes(const std::string& node, int slot,
                                  const std::vector<std::int64_t>& shape);
  float scalarFloat(const std::string& node, int slot);
  std::uint8_t scalarByte(const std::string& node, int slot);

  const std::string& path() const { return path_; }

 private:
  onnx::TensorProto& find(const std::string& node, int slot, const std::vector<std::int64_t>& shape,
                          int data_type);

  std::string path_;
  std::unique_ptr<onnx::ModelProto> model_;
  std::unordered_map<std::string, onnx::TensorProto*> initializers_;
  std::unordered_map<std::string, std::string> inputs_;  // "node#slot" -> initializer name
};

}  // namespace speech::moonshine
