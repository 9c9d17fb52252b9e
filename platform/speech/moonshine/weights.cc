#include "platform/speech/moonshine/weights.h"

#include <fcntl.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl.h>
#include <onnx/onnx_pb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "platform/speech/error.h"

namespace speech::moonshine {
namespace {

std::string shapeText(const std::vector<std::int64_t>& dims) {
  std::ostringstream out;
  out << '[';
  for (std::size_t i = 0; i < dims.size(); ++i) out << (i ? ", " : "") << dims[i];
  out << ']';
  return out.str();
}

std::int64_t elementCount(const std::vector<std::int64_t>& dims) {
  std::int64_t n = 1;
  for (std::int64_t d : dims) n *= d;
  return n;
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

OnnxWeights::OnnxWeights(const std::string& path)
    : path_(path), model_(std::make_unique<onnx::ModelProto>()) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw Error(path + ": cannot open the model file: " + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0)
    throw Error(path + ": cannot read the model file: " + std::strerror(errno));
  if (st.st_size == 0) throw Error(path + ": the model file is empty");
  {
    google::protobuf::io::FileInputStream raw(fd.get());
    google::protobuf::io::CodedInputStream coded(&raw);
    coded.SetTotalBytesLimit(INT32_MAX);
    if (!model_->ParseFromCodedStream(&coded) || !coded.ConsumedEntireMessage() ||
        !model_->has_graph())
      throw Error(path + ": not an ONNX model (it does not parse as one)");
  }

  // Walk every graph, the branches of If nodes included, recording which initializer feeds
  // which node input. The decoder's two branches use the same initializers under the same node
  // names, so recording both is harmless.
  std::vector<onnx::GraphProto*> pending{model_->mutable_graph()};
  while (!pending.empty()) {
    onnx::GraphProto* graph = pending.back();
    pending.pop_back();
    for (onnx::TensorProto& t : *graph->mutable_initializer()) initializers_[t.name()] = &t;
    for (onnx::NodeProto& node : *graph->mutable_node()) {
      for (int i = 0; i < node.input_size(); ++i)
        inputs_[node.name() + "#" + std::to_string(i)] = node.input(i);
      for (onnx::AttributeProto& attr : *node.mutable_attribute())
        if (attr.has_g()) pending.push_back(attr.mutable_g());
    }
  }
}

OnnxWeights::~OnnxWeights() = default;

onnx::TensorProto& OnnxWeights::find(const std::string& node, int slot,
                                     const std::vector<std::int64_t>& shape, int data_type) {
  auto input = inputs_.find(node + "#" + std::to_string(slot));
  if (input == inputs_.end())
    throw Error(path_ + ": weight missing: the graph has no node " + node + " with input " +
                std::to_string(slot));
  auto it = initializers_.find(input->second);
  if (it == initializers_.end())
    throw Error(path_ + ": weight missing: " + input->second + " (input of " + node + ")");
  onnx::TensorProto& t = *it->second;
  std::vector<std::int64_t> dims(t.dims().begin(), t.dims().end());
  bool scalar_ok = shape.empty() && elementCount(dims) == 1;
  if (!scalar_ok && dims != shape)
    throw Error(path_ + ": weight " + t.name() + " has shape " + shapeText(dims) + ", expected " +
                shapeText(shape));
  if (t.data_type() != data_type)
    throw Error(path_ + ": weight " + t.name() + " has element type " +
                std::to_string(t.data_type()) + ", expected " + std::to_string(data_type));
  if (t.data_location() == onnx::TensorProto::EXTERNAL)
    throw Error(path_ + ": weight " + t.name() +
                " is stored outside the file, which is not supported");
  return t;
}

std::vector<float> OnnxWeights::floats(const std::string& node, int slot,
                                       const std::vector<std::int64_t>& shape) {
  onnx::TensorProto& t = find(node, slot, shape, onnx::TensorProto::FLOAT);
  auto n = static_cast<std::size_t>(shape.empty() ? 1 : elementCount(shape));
  std::vector<float> out(n);
  if (t.has_raw_data()) {
    if (t.raw_data().size() != n * sizeof(float))
      throw Error(path_ + ": weight " + t.name() + " has the wrong size");
    std::memcpy(out.data(), t.raw_data().data(), n * sizeof(float));
  } else {
    if (static_cast<std::size_t>(t.float_data_size()) != n)
      throw Error(path_ + ": weight " + t.name() + " has the wrong size");
    std::copy(t.float_data().begin(), t.float_data().end(), out.begin());
  }
  return out;
}

std::vector<std::uint8_t> OnnxWeights::bytes(const std::string& node, int slot,
                                             const std::vector<std::int64_t>& shape) {
  auto input = inputs_.find(node + "#" + std::to_string(slot));
  int type = onnx::TensorProto::UINT8;
  if (input != inputs_.end()) {
    auto it = initializers_.find(input->second);
    if (it != initializers_.end() && it->second->data_type() == onnx::TensorProto::INT8)
      type = onnx::TensorProto::INT8;
  }
  onnx::TensorProto& t = find(node, slot, shape, type);
  auto n = static_cast<std::size_t>(shape.empty() ? 1 : elementCount(shape));
  std::vector<std::uint8_t> out(n);
  if (t.has_raw_data()) {
    if (t.raw_data().size() != n)
      throw Error(path_ + ": weight " + t.name() + " has the wrong size");
    std::memcpy(out.data(), t.raw_data().data(), n);
    // Large ones are read once: free the parsed copy now. Clearing keeps the string's capacity,
    // so the whole parsed file would stay in memory until the load ends; swap it out instead.
    if (n >= 4096) std::string().swap(*t.mutable_raw_data());
  } else {
    if (static_cast<std::size_t>(t.int32_data_size()) != n)
      throw Error(path_ + ": weight " + t.name() + " has the wrong size");
    for (std::size_t i = 0; i < n; ++i)
      out[i] = static_cast<std::uint8_t>(t.int32_data(static_cast<int>(i)));
  }
  return out;
}

float OnnxWeights::scalarFloat(const std::string& node, int slot) {
  return floats(node, slot, {})[0];
}

std::uint8_t OnnxWeights::scalarByte(const std::string& node, int slot) {
  return bytes(node, slot, {})[0];
}

}  // namespace speech::moonshine
