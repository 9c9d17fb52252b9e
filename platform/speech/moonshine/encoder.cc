#include "platform/speech/moonshine/encoder.h"

#include <algorithm>
#include <cmath>

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
    layer.attention = loadAttention(w, p + "/self_attn");
    layer.fc1 = loadLinear(w, p + "/mlp/fc1/MatMul_quant", kWidth, 4 * kWidth);
    layer.fc1.bias = w.floats(p + "/mlp/fc1/Add", 0, {4 * kWidth});
    layer.fc2 = loadLinear(w, p + "/mlp/fc2/MatMul_quant", 4 * kWidth, kWidth);
    layer.fc2.bias = w.floats(p + "/mlp/fc2/Add", 0, {kWidth});
    layers_.push_back(std::move(layer));
  }
}

namespace {

// Lengths of the front end's stages for `samples` samples, which make at least one frame.
struct FrontEnd {
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

}  // namespace

std::size_t Encoder::workFloats(std::size_t samples) {
  if (encoderFrames(samples) == 0) return 0;
  FrontEnd f(samples);
  return f.first() + f.second();
}

std::size_t Encoder::Scratch::bytes() const {
  std::size_t total = linear.bytes();
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
    gelu(x + begin, static_cast<std::size_t>(end - begin));
  });
}

bool Encoder::encode(std::span<const float> samples, Scratch& s, std::vector<float>& out,
                     const std::function<bool()>& moot) const {
  auto given_up = [&] { return moot && moot(); };
  std::size_t frames = encoderFrames(samples.size());
  out.assign(frames * kWidth, 0.0f);
  if (frames == 0) return true;
  FrontEnd f(samples.size());
  int n0 = f.n0, n1 = f.n1, n2 = f.n2, n3 = f.n3;
  growScratch(s.work, f.first() + f.second());
  float* a = s.work.data();
  float* b = a + f.first();

  // Front end, channels first.
  std::size_t first_cells = static_cast<std::size_t>(kWidth) * n1;
  convolve(conv1_, samples.data(), n0, s, a);
  tanhInPlace(a, first_cells);
  auto [mean, deviation] = moments(a, first_cells);
  for (int c = 0; c < kWidth; ++c) {
    float* row = a + static_cast<std::size_t>(c) * n1;
    for (int t = 0; t < n1; ++t)
      row[t] = (row[t] - mean) / deviation * norm_scale_[c] + norm_shift_[c];
  }
  if (given_up()) return false;
  convolve(conv2_, a, n1, s, b);
  geluParallel(b, static_cast<std::size_t>(2 * kWidth) * n2, s.threads);
  convolve(conv3_, b, n2, s, a);
  geluParallel(a, static_cast<std::size_t>(kWidth) * n3, s.threads);
  float* x = out.data();
  for (int c = 0; c < kWidth; ++c)
    for (int t = 0; t < n3; ++t)
      x[static_cast<std::size_t>(t) * kWidth + c] = a[static_cast<std::size_t>(c) * n3 + t];

  // Transformer layers, in the front end's place.
  s.linear.threads = s.threads;
  std::size_t cells = f.cells();
  float* h = b;
  float *q = a, *k = q + cells, *v = k + cells;
  for (const Layer& layer : layers_) {
    if (given_up()) return false;
    layerNorm(x, n3, layer.attention_norm.data(), h);
    // q, k and v share one quantization of the normalized input.
    linear(h, n3, layer.attention.q, RowQuantization::kShared, s.linear, q);
    linear(h, n3, layer.attention.k, RowQuantization::kShared, s.linear, k);
    linear(h, n3, layer.attention.v, RowQuantization::kShared, s.linear, v);
    rotate(q, n3, 0, inv_freq_);
    rotate(k, n3, 0, inv_freq_);
    attention(q, n3, k, v, n3, false, 0, s.scores, h, s.threads);
    linear(h, n3, layer.attention.o, RowQuantization::kShared, s.linear, q);
    for (std::size_t i = 0; i < cells; ++i) x[i] += q[i];
    layerNorm(x, n3, layer.mlp_norm.data(), q);
    linear(q, n3, layer.fc1, RowQuantization::kShared, s.linear, h);
    geluParallel(h, frames * 4 * kWidth, s.threads);
    linear(h, n3, layer.fc2, RowQuantization::kShared, s.linear, q);
    for (std::size_t i = 0; i < cells; ++i) x[i] += q[i];
  }
  layerNorm(x, n3, final_norm_.data(), x);
  return true;
}

}  // namespace speech::moonshine
