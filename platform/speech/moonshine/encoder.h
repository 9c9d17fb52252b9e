#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/speech/moonshine/frame_linear.h"
#include "platform/speech/moonshine/layers.h"

namespace speech::moonshine {

class OnnxWeights;

// Samples per encoder frame, and the fewest samples that make one frame: the three
// convolutions (kernel 127 stride 64, kernel 7 stride 3, kernel 3 stride 2) need
// 127 + 64 * (3 * 2 + 6) samples for their first output.
inline constexpr std::size_t kSamplesPerFrame = 64 * 3 * 2;
inline constexpr std::size_t kMinEncoderSamples = 127 + 64 * (3 * (3 - 1) + 7 - 1);

// Number of encoder frames for `samples` samples (0 when too short).
std::size_t encoderFrames(std::size_t samples);

// The audio encoder: a convolutional front end on raw samples, then transformer layers with
// rotary positions.
class Encoder {
 public:
  explicit Encoder(OnnxWeights& weights);

  struct Scratch {
    int threads = 1;
    // The activations of the front end and of the layers: workFloats() of the input. Dead
    // between calls, so it may serve another purpose there.
    std::vector<float> work;
    std::vector<float> scores;
    std::vector<std::vector<float>> columns;  // per thread
    FrameScratch frames;
    std::size_t bytes() const;  // what it holds
  };
  // Encoded frames [encoderFrames(samples.size()), kWidth], row-major, into `out`. `moot`, when
  // given, is asked between the stages: once it says the result is no longer wanted, encoding
  // stops, `out` is left unfinished and the answer is false.
  bool encode(std::span<const float> samples, Scratch& scratch, std::vector<float>& out,
              const std::function<bool()>& moot = {}) const;
  // The floats of Scratch::work that encoding `samples` samples takes.
  static std::size_t workFloats(std::size_t samples);

 private:
  struct Layer {
    std::vector<float> attention_norm, mlp_norm;
    FrameLinear q, k, v, o, fc1, fc2;
  };
  struct FrontEnd;
  struct Conv {
    int in = 0, out = 0, kernel = 0, stride = 0;
    std::vector<float> weight;  // [out, in * kernel]
    std::vector<float> bias;    // empty when none
  };
  static Conv loadConv(OnnxWeights& weights, const std::string& name, int in, int out, int kernel,
                       int stride, bool has_bias);
  static void convolve(const Conv& conv, const float* in, int in_length, Scratch& scratch,
                       float* out);

  static void geluParallel(float* x, std::size_t n, int threads);
  bool frontEnd(std::span<const float> samples, Scratch& s, float* x,
                const std::function<bool()>& moot) const;
  void layer(const Layer& l, float* x, int rows, Scratch& s, const FrontEnd& f) const;

  Conv conv1_, conv2_, conv3_;
  std::vector<float> norm_scale_, norm_shift_;  // the front end's GroupNorm, per channel
  std::vector<Layer> layers_;
  std::vector<float> final_norm_;
  std::vector<float> inv_freq_;
};

// The quantized linear layer whose MatMulInteger node is `node` (…/MatMul_quant).
QuantizedLinear loadLinear(OnnxWeights& weights, const std::string& node, int in, int out);
// The projections of the attention block whose nodes are under `block` (…/self_attn).
AttentionProjections loadAttention(OnnxWeights& weights, const std::string& block);

}  // namespace speech::moonshine
