#include "platform/speech/moonshine/decoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "platform/speech/error.h"
#include "platform/speech/moonshine/encoder.h"
#include "platform/speech/moonshine/vector_math.h"
#include "platform/speech/moonshine/weights.h"

namespace speech::moonshine {
namespace {

void add(float* x, const float* y, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) x[i] += y[i];
}

float* crossKeys(Decoder::State& s, std::size_t layer) {
  return s.cross.data() + 2 * layer * static_cast<std::size_t>(s.frames) * kWidth;
}

float* crossValues(Decoder::State& s, std::size_t layer) {
  return crossKeys(s, layer) + static_cast<std::size_t>(s.frames) * kWidth;
}

}  // namespace

Decoder::Decoder(OnnxWeights& w) {
  const std::string embed = "/model/decoder/embed_tokens/Gather";
  const std::string dequantize = "/model/decoder/embed_tokens/Gather_output_0_DequantizeLinear";
  embedding_ = packRows(w.bytes(embed, 0, {kVocabulary, kWidth}).data(), kVocabulary, kWidth,
                        w.scalarByte(dequantize, 2), w.scalarFloat(dequantize, 1));
  final_norm_ = w.floats("/model/decoder/norm/Mul", 1, {kWidth});
  inv_freq_ = w.floats("/model/decoder/rotary_emb/MatMul", 0, {1, kRotaryPairs, 1});
  for (int i = 0; i < kLayers; ++i) {
    std::string p = "/model/decoder/layers." + std::to_string(i);
    Layer layer;
    layer.self_norm = w.floats(p + "/input_layernorm/Mul", 1, {kWidth});
    layer.cross_norm = w.floats(p + "/post_attention_layernorm/Mul", 1, {kWidth});
    layer.mlp_norm = w.floats(p + "/final_layernorm/Mul", 1, {kWidth});
    AttentionProjections self = loadAttention(w, p + "/self_attn");
    AttentionProjections cross = loadAttention(w, p + "/encoder_attn");
    layer.self_q = pack(self.q);
    layer.self_k = pack(self.k);
    layer.self_v = pack(self.v);
    layer.self_o = pack(self.o);
    layer.cross_q = pack(cross.q);
    layer.cross_o = pack(cross.o);
    layer.cross_k = prepareFrameLinear(std::move(cross.k));
    layer.cross_v = prepareFrameLinear(std::move(cross.v));
    QuantizedLinear up = loadLinear(w, p + "/mlp/up_proj/MatMul_quant", kWidth, 8 * kWidth);
    up.bias = w.floats(p + "/mlp/up_proj/Add", 0, {8 * kWidth});
    layer.up = pack(up);
    QuantizedLinear down = loadLinear(w, p + "/mlp/down_proj/MatMul_quant", 4 * kWidth, kWidth);
    down.bias = w.floats(p + "/mlp/down_proj/Add", 0, {kWidth});
    layer.down = pack(down);
    layers_.push_back(std::move(layer));
  }
}

std::size_t Decoder::State::bytes() const {
  std::size_t total = frames_scratch.bytes() + packed.bytes() + heldBytes(cross);
  for (const auto* layers : {&self_k, &self_v})
    for (const auto& layer : *layers) total += heldBytes(layer);
  for (const auto* part : {&x, &h, &q, &k, &v, &a, &mlp, &scores}) total += heldBytes(*part);
  return total;
}

std::size_t Decoder::crossFloats(int frames) {
  return static_cast<std::size_t>(2 * kLayers) * static_cast<std::size_t>(frames) * kWidth;
}

void Decoder::start(const float* encoded, int frames, State& s) const {
  s.frames = frames;
  s.length = 0;
  s.self_k.resize(layers_.size());
  s.self_v.resize(layers_.size());
  growScratch(s.cross, crossFloats(frames));
  s.frames_scratch.threads = s.threads;
  for (std::size_t l = 0; l < layers_.size(); ++l) {
    // The model quantizes the encoder output once, all frames together: once for all layers.
    frameLinear(encoded, frames, layers_[l].cross_k, l > 0, s.frames_scratch, crossKeys(s, l));
    frameLinear(encoded, frames, layers_[l].cross_v, true, s.frames_scratch, crossValues(s, l));
  }
}

void Decoder::step(std::span<const std::int32_t> tokens, State& s, std::vector<float>& out) const {
  int rows = static_cast<int>(tokens.size());
  auto cells = static_cast<std::size_t>(rows) * kWidth;
  s.x.resize(cells);
  s.h.resize(cells);
  s.q.resize(cells);
  s.a.resize(cells);
  s.mlp.resize(static_cast<std::size_t>(rows) * 8 * kWidth);
  embed(tokens, s);
  for (std::size_t l = 0; l < layers_.size(); ++l) {
    selfAttention(l, rows, s);
    add(s.x.data(), s.h.data(), cells);
    crossAttention(l, rows, s);
    add(s.x.data(), s.h.data(), cells);
    feedForward(layers_[l], rows, s);
    add(s.x.data(), s.h.data(), cells);
  }
  s.length += rows;
  layerNorm(s.x.data(), rows, final_norm_.data(), s.h.data());
  out.resize(static_cast<std::size_t>(rows) * kVocabulary);
  logits(s.h.data(), rows, s, out.data());
}

void Decoder::embed(std::span<const std::int32_t> tokens, State& s) const {
  for (std::size_t r = 0; r < tokens.size(); ++r) {
    std::int32_t token = tokens[r];
    if (token < 0 || token >= kVocabulary)
      throw Error("moonshine: token " + std::to_string(token) + " is out of range");
    for (int i = 0; i < kWidth; ++i)
      s.x[r * kWidth + i] =
          static_cast<float>(packedByte(embedding_, token, i) - embedding_.zero_point) *
          embedding_.scale;
  }
}

void Decoder::selfAttention(std::size_t l, int rows, State& s) const {
  const Layer& layer = layers_[l];
  int first = s.length;
  std::vector<float>& k = s.self_k[l];
  std::vector<float>& v = s.self_v[l];
  std::size_t capacity = static_cast<std::size_t>(first + rows) * kWidth;
  if (k.size() < capacity) {  // by doubling: a step rarely allocates
    k.resize(std::max(capacity, 2 * k.size()));
    v.resize(k.size());
  }
  float* new_k = k.data() + static_cast<std::size_t>(first) * kWidth;
  float* new_v = v.data() + static_cast<std::size_t>(first) * kWidth;

  layerNorm(s.x.data(), rows, layer.self_norm.data(), s.h.data());
  packedLinear(s.h.data(), rows, layer.self_q, s.packed, s.q.data());
  packedLinear(s.h.data(), rows, layer.self_k, s.packed, new_k);
  packedLinear(s.h.data(), rows, layer.self_v, s.packed, new_v);
  rotate(s.q.data(), rows, first, inv_freq_);
  rotate(new_k, rows, first, inv_freq_);
  // Row by row, as the model runs one token at a time: the products then have the shapes of
  // single steps, and a batch gives bit for bit the logits of feeding its tokens one by one.
  for (int r = 0; r < rows; ++r) {
    std::size_t row = static_cast<std::size_t>(r) * kWidth;
    attention(s.q.data() + row, 1, k.data(), v.data(), first + r + 1, true, first + r, s.scores,
              s.a.data() + row);
  }
  packedLinear(s.a.data(), rows, layer.self_o, s.packed, s.h.data());
}

void Decoder::crossAttention(std::size_t l, int rows, State& s) const {
  const Layer& layer = layers_[l];
  layerNorm(s.x.data(), rows, layer.cross_norm.data(), s.h.data());
  packedLinear(s.h.data(), rows, layer.cross_q, s.packed, s.q.data());
  for (int r = 0; r < rows; ++r) {
    std::size_t row = static_cast<std::size_t>(r) * kWidth;
    attention(s.q.data() + row, 1, crossKeys(s, l), crossValues(s, l), s.frames, false, 0, s.scores,
              s.a.data() + row);
  }
  packedLinear(s.a.data(), rows, layer.cross_o, s.packed, s.h.data());
}

void Decoder::feedForward(const Layer& layer, int rows, State& s) const {
  layerNorm(s.x.data(), rows, layer.mlp_norm.data(), s.h.data());
  packedLinear(s.h.data(), rows, layer.up, s.packed, s.mlp.data());
  // The first half is the value, the second the SiLU gate; the product goes in the first half.
  for (int r = 0; r < rows; ++r) {
    float* u = s.mlp.data() + static_cast<std::size_t>(r) * 8 * kWidth;
    siluGate(u, u + 4 * kWidth, 4 * kWidth);
    // Compact the products so that the down projection reads [rows, 4 * kWidth].
    std::copy(u, u + 4 * kWidth, s.mlp.data() + static_cast<std::size_t>(r) * 4 * kWidth);
  }
  packedLinear(s.mlp.data(), rows, layer.down, s.packed, s.h.data());
}

void Decoder::logits(const float* x, int rows, State& s, float* out) const {
  // In 8 bits like every other layer: the hidden state quantized per row as the layers before
  // quantize theirs. Each part of the table is read once for every four rows.
  PackedScratch& p = s.packed;
  auto n = static_cast<std::size_t>(rows);
  if (p.quantized.size() < n * kWidth) p.quantized.resize(n * kWidth);
  if (p.params.size() < n) p.params.resize(n);
  if (p.zero_points.size() < n) p.zero_points.resize(n);
  for (std::size_t r = 0; r < n; ++r) {
    p.params[r] = quantize({x + r * kWidth, kWidth}, p.quantized.data() + r * kWidth);
    p.zero_points[r] = p.params[r].zero_point;
  }
  // The integer products go into `out` and become logits in place: a buffer of their own
  // would be as large (1 MB for a chunk of the prefix).
  auto* products = reinterpret_cast<std::int32_t*>(out);
  constexpr int kBlock = 16;
  parallelFor(s.threads, kVocabulary / kBlock, [&](int, int begin, int end) {
    packedProducts(p.quantized.data(), rows, p.zero_points.data(), embedding_, products,
                   begin * kBlock, end * kBlock);
  });
  for (std::size_t r = 0; r < n; ++r) {
    float scale = p.params[r].scale * embedding_.scale;
    float* y = out + r * kVocabulary;
    for (int t = 0; t < kVocabulary; ++t) {
      std::int32_t product;
      std::memcpy(&product, y + t, sizeof product);
      y[t] = static_cast<float>(product) * scale;
    }
  }
}

}  // namespace speech::moonshine
