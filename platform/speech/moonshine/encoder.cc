#include "platform/speech/moonshine/encoder.h"

#include <algorithm>
#include <cmath>

#include "platform/speech/moonshine/frame_linear.h"
#include "platform/speech/moonshine/vector_math.h"
#include "platform/speech/moonshine/weights.h"

namespace speech::moonshine {

std::size_t encoderFrames(std::size_t samples) {
  if (samples < kMinEncoderSamples) return 0;
  std::size_t first = (samples - 127) / 64 + 1;
  std::size_t second = (first - 7) / 3 + 1;
  return (second - 3) / 2 + 1;
}

QuantizedLinear loadLinear(OnnxWeights& weights, const std::string& node, int in, int out) {
  QuantizedLinear w;
  w.in = in;
  w.out = out;
  std::vector<std::uint8_t> bytes = weights.bytes(node, 1, {in, out});
  w.weight.resize(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i)
    w.weight[i] = static_cast<std::int8_t>(bytes[i] - 128);
  w.zero_point = static_cast<std::int8_t>(weights.scalarByte(node, 3) - 128);
  w.scale = weights.scalarFloat(node + "_scales_mul", 1);
  return w;
}

AttentionProjections loadAttention(OnnxWeights& weights, const std::string& block) {
  return {loadLinear(weights, block + "/q_proj/MatMul_quant", kWidth, kWidth),
          loadLinear(weights, block + "/k_proj/MatMul_quant", kWidth, kWidth),
          loadLinear(weights, block + "/v_proj/MatMul_quant", kWidth, kWidth),
          loadLinear(weights, block + "/dense/MatMul_quant", kWidth, kWidth)};
}

Encoder::Conv Encoder::loadConv(OnnxWeights& weights, const std::string& name, int in, int out,
                                int kernel, int stride, bool has_bias) {
  Conv conv{in, out, kernel, stride, {}, {}};
  // Stored as int8 with a float scale and offset: weight = q * scale + offset.
  std::vector<std::uint8_t> q = weights.bytes(name + ".weight_cast_node", 0, {out, in, kernel});
  float scale = weights.floats(name + ".weight_mul_node", 1, {1})[0];
  float offset = weights.floats(name + ".weight_add_node", 1, {1})[0];
  conv.weight.resize(q.size());
  for (std::size_t i = 0; i < q.size(); ++i)
    conv.weight[i] = static_cast<float>(static_cast<std::int8_t>(q[i])) * scale + offset;
  if (has_bias) conv.bias = weights.floats("/" + name + "/Conv", 2, {out});
  return conv;
}

Encoder::Encoder(OnnxWeights& w)
    : conv1_(loadConv(w, "conv1", 1, kWidth, 127, 64, false)),
      conv2_(loadConv(w, "conv2", kWidth, 2 * kWidth, 7, 3, true)),
      conv3_(loadConv(w, "conv3", 2 * kWidth, kWidth, 3, 2, true)),
      norm_scale_(w.floats("/groupnorm/Mul", 1, {kWidth, 1})),
      norm_shift_(w.floats("/groupnorm/Add", 1, {kWidth, 1})),
      final_norm_(w.floats("/layer_norm/Mul", 1, {kWidth})),
      inv_freq_(w.floats("/rotary_emb/MatMul", 0, {1, kRotaryPairs, 1})) {
  for (int i = 0; i < kLayers; ++i) {
    std::string p = "/layers." + std::to_string(i);
    Layer layer;
    layer.attention_norm = w.floats(p + "/input_layernorm/Mul", 1, {kWidth});
    layer.mlp_norm = w.floats(p + "/post_attention_layernorm/Mul", 1, {kWidth});
    AttentionProjections attention = loadAttention(w, p + "/self_attn");
    layer.q = prepareFrameLinear(std::move(attention.q));
    layer.k = prepareFrameLinear(std::move(attention.k));
    layer.v = prepareFrameLinear(std::move(attention.v));
    layer.o = prepareFrameLinear(std::move(attention.o));
    QuantizedLinear fc1 = loadLinear(w, p + "/mlp/fc1/MatMul_quant", kWidth, 4 * kWidth);
    fc1.bias = w.floats(p + "/mlp/fc1/Add", 0, {4 * kWidth});
    layer.fc1 = prepareFrameLinear(std::move(fc1));
    QuantizedLinear fc2 = loadLinear(w, p + "/mlp/fc2/MatMul_quant", 4 * kWidth, kWidth);
    fc2.bias = w.floats(p + "/mlp/fc2/Add", 0, {kWidth});
    layer.fc2 = prepareFrameLinear(std::move(fc2));
    layers_.push_back(std::move(layer));
  }
}

// Lengths of the front end's stages for `samples` samples, which make at least one frame.
struct Encoder::FrontEnd {
  explicit FrontEnd(std::size_t samples)
      : n0(static_cast<int>(samples)),
        n1((n0 - 127) / 64 + 1),
        n2((n1 - 7) / 3 + 1),
        n3(static_cast<int>(encoderFrames(samples))) {}
  // Where the work buffer is cut in two: the first convolution's output (kWidth channels at
  // six times the frame rate) and later the queries, keys and values go before it; the second
  // convolution's output (twice kWidth channels at twice the frame rate) and later the MLP's
  // hidden rows after it.
  std::size_t first() const { return std::max(static_cast<std::size_t>(kWidth) * n1, 3 * cells()); }
  std::size_t second() const {
    return std::max(static_cast<std::size_t>(2 * kWidth) * n2, 4 * cells());
  }
  std::size_t cells() const { return static_cast<std::size_t>(n3) * kWidth; }
  int n0, n1, n2, n3;
};

std::size_t Encoder::workFloats(std::size_t samples) {
  if (encoderFrames(samples) == 0) return 0;
  FrontEnd f(samples);
  return f.first() + f.second();
}

std::size_t Encoder::Scratch::bytes() const {
  std::size_t total = frames.bytes();
  for (const auto* part : {&work, &scores}) total += heldBytes(*part);
  for (const auto& c : columns) total += heldBytes(c);
  return total;
}

void Encoder::convolve(const Conv& conv, const float* in, int in_length, Scratch& s, float* out) {
  int out_length = (in_length - conv.kernel) / conv.stride + 1;
  int depth = conv.in * conv.kernel;
  // Unfold a block of output steps at a time so that the scratch stays small on long input.
  constexpr int kBlock = 128;
  int blocks = (out_length + kBlock - 1) / kBlock;
  s.columns.resize(static_cast<std::size_t>(std::max(1, s.threads)));
  parallelFor(s.threads, blocks, [&](int part, int first_block, int end_block) {
    std::vector<float>& columns = s.columns[static_cast<std::size_t>(part)];
    columns.resize(static_cast<std::size_t>(depth) * kBlock);
    for (int block = first_block; block < end_block; ++block) {
      int t0 = block * kBlock;
      int n = std::min(kBlock, out_length - t0);
      for (int c = 0; c < conv.in; ++c)
        for (int k = 0; k < conv.kernel; ++k) {
          float* row = columns.data() + static_cast<std::size_t>(c * conv.kernel + k) * n;
          const float* src = in + static_cast<std::size_t>(c) * in_length + k;
          for (int t = 0; t < n; ++t) row[t] = src[static_cast<std::size_t>(t0 + t) * conv.stride];
        }
      sgemm(false, conv.out, n, depth, 1.0f, conv.weight.data(), depth, columns.data(), n, 0.0f,
            out + t0, out_length);
      if (!conv.bias.empty())
        for (int c = 0; c < conv.out; ++c)
          for (int t = t0; t < t0 + n; ++t)
            out[static_cast<std::size_t>(c) * out_length + t] += conv.bias[c];
    }
  });
}

void Encoder::geluParallel(float* x, std::size_t n, int threads) {
  parallelFor(threads, static_cast<int>(n), [&](int, int begin, int end) {
    geluInPlace(x + begin, static_cast<std::size_t>(end - begin));
  });
}

// Channels first, from the samples to the first layer's input, transposed into `x`; false when
// `moot` says to stop after the first convolution.
bool Encoder::frontEnd(std::span<const float> samples, Scratch& s, float* x,
                       const std::function<bool()>& moot) const {
  FrontEnd f(samples.size());
  int n1 = f.n1, n2 = f.n2, n3 = f.n3;
  float* a = s.work.data();
  float* b = a + f.first();
  std::size_t first_cells = static_cast<std::size_t>(kWidth) * n1;
  convolve(conv1_, samples.data(), f.n0, s, a);
  tanhInPlace(a, first_cells);
  auto [mean, deviation] = moments(a, first_cells);
  for (int c = 0; c < kWidth; ++c) {
    float* row = a + static_cast<std::size_t>(c) * n1;
    for (int t = 0; t < n1; ++t)
      row[t] = (row[t] - mean) / deviation * norm_scale_[c] + norm_shift_[c];
  }
  if (moot && moot()) return false;
  convolve(conv2_, a, n1, s, b);
  geluParallel(b, static_cast<std::size_t>(2 * kWidth) * n2, s.threads);
  convolve(conv3_, b, n2, s, a);
  geluParallel(a, static_cast<std::size_t>(kWidth) * n3, s.threads);
  for (int c = 0; c < kWidth; ++c)
    for (int t = 0; t < n3; ++t)
      x[static_cast<std::size_t>(t) * kWidth + c] = a[static_cast<std::size_t>(c) * n3 + t];
  return true;
}

// One transformer layer on x[rows, kWidth], in place, in the front end's share of s.work.
void Encoder::layer(const Layer& l, float* x, int rows, Scratch& s, const FrontEnd& f) const {
  std::size_t cells = f.cells();
  float* q = s.work.data();
  float *k = q + cells, *v = k + cells;
  float* h = q + f.first();
  layerNorm(x, rows, l.attention_norm.data(), h);
  // q, k and v share one quantization of the normalized input.
  frameLinear(h, rows, l.q, false, s.frames, q);
  frameLinear(h, rows, l.k, true, s.frames, k);
  frameLinear(h, rows, l.v, true, s.frames, v);
  rotate(q, rows, 0, inv_freq_);
  rotate(k, rows, 0, inv_freq_);
  attention(q, rows, k, v, rows, false, 0, s.scores, h, s.threads);
  frameLinear(h, rows, l.o, false, s.frames, q);
  for (std::size_t i = 0; i < cells; ++i) x[i] += q[i];
  layerNorm(x, rows, l.mlp_norm.data(), q);
  frameLinear(q, rows, l.fc1, false, s.frames, h);
  geluParallel(h, cells * 4, s.threads);
  frameLinear(h, rows, l.fc2, false, s.frames, q);
  for (std::size_t i = 0; i < cells; ++i) x[i] += q[i];
}

bool Encoder::encode(std::span<const float> samples, Scratch& s, std::vector<float>& out,
                     const std::function<bool()>& moot) const {
  std::size_t frames = encoderFrames(samples.size());
  out.assign(frames * kWidth, 0.0f);
  if (frames == 0) return true;
  FrontEnd f(samples.size());
  growScratch(s.work, f.first() + f.second());
  s.frames.threads = s.threads;
  if (!frontEnd(samples, s, out.data(), moot)) return false;
  for (const Layer& l : layers_) {
    if (moot && moot()) return false;
    layer(l, out.data(), f.n3, s, f);
  }
  layerNorm(out.data(), f.n3, final_norm_.data(), out.data());
  return true;
}

}  // namespace speech::moonshine
