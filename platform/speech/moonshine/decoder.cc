#include "platform/speech/moonshine/decoder.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "platform/speech/error.h"
#include "platform/speech/moonshine/encoder.h"
#include "platform/speech/moonshine/weights.h"

namespace speech::moonshine {
namespace {

void add(float* x, const float* y, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) x[i] += y[i];
}

}  // namespace

Decoder::Decoder(OnnxWeights& w) {
  const std::string embed = "/model/decoder/embed_tokens/Gather";
  embedding_ = w.bytes(embed, 0, {kVocabulary, kWidth});
  embedding_scale_ =
      w.scalar_float("/model/decoder/embed_tokens/Gather_output_0_DequantizeLinear", 1);
  embedding_zero_point_ =
      w.scalar_byte("/model/decoder/embed_tokens/Gather_output_0_DequantizeLinear", 2);
  final_norm_ = w.floats("/model/decoder/norm/Mul", 1, {kWidth});
  inv_freq_ = w.floats("/model/decoder/rotary_emb/MatMul", 0, {1, kRotaryPairs, 1});
  for (int i = 0; i < kLayers; ++i) {
    std::string p = "/model/decoder/layers." + std::to_string(i);
    Layer layer;
    layer.self_norm = w.floats(p + "/input_layernorm/Mul", 1, {kWidth});
    layer.cross_norm = w.floats(p + "/post_attention_layernorm/Mul", 1, {kWidth});
    layer.mlp_norm = w.floats(p + "/final_layernorm/Mul", 1, {kWidth});
    layer.self = load_attention(w, p + "/self_attn");
    layer.cross = load_attention(w, p + "/encoder_attn");
    layer.up = load_linear(w, p + "/mlp/up_proj/MatMul_quant", kWidth, 8 * kWidth);
    layer.up.bias = w.floats(p + "/mlp/up_proj/Add", 0, {8 * kWidth});
    layer.down = load_linear(w, p + "/mlp/down_proj/MatMul_quant", 4 * kWidth, kWidth);
    layer.down.bias = w.floats(p + "/mlp/down_proj/Add", 0, {kWidth});
    layers_.push_back(std::move(layer));
  }
}

void Decoder::start(const float* encoded, int frames, State& s) const {
  s.frames = frames;
  s.length = 0;
  s.cross_k.resize(layers_.size());
  s.cross_v.resize(layers_.size());
  s.self_k.resize(layers_.size());
  s.self_v.resize(layers_.size());
  auto cells = static_cast<std::size_t>(frames) * kWidth;
  s.linear.threads = s.threads;
  for (std::size_t l = 0; l < layers_.size(); ++l) {
    s.cross_k[l].resize(cells);
    s.cross_v[l].resize(cells);
    // The model quantizes the encoder output once, all frames together.
    linear(encoded, frames, layers_[l].cross.k, RowQuantization::kShared, s.linear,
           s.cross_k[l].data());
    linear(encoded, frames, layers_[l].cross.v, RowQuantization::kShared, s.linear,
           s.cross_v[l].data());
  }
}

void Decoder::step(std::span<const std::int32_t> tokens, State& s, std::vector<float>& out) const {
  int rows = static_cast<int>(tokens.size());
  s.linear.threads = 1;  // one token's products are too small to share
  auto cells = static_cast<std::size_t>(rows) * kWidth;
  int first = s.length;
  s.x.resize(cells);
  s.h.resize(cells);
  s.q.resize(cells);
  s.a.resize(cells);
  s.mlp.resize(static_cast<std::size_t>(rows) * 8 * kWidth);
  for (int r = 0; r < rows; ++r) {
    std::int32_t token = tokens[static_cast<std::size_t>(r)];
    if (token < 0 || token >= kVocabulary)
      throw Error("moonshine: token " + std::to_string(token) + " is out of range");
    const std::uint8_t* e = embedding_.data() + static_cast<std::size_t>(token) * kWidth;
    for (int i = 0; i < kWidth; ++i)
      s.x[static_cast<std::size_t>(r) * kWidth + i] =
          static_cast<float>(e[i] - embedding_zero_point_) * embedding_scale_;
  }
  std::size_t capacity = static_cast<std::size_t>(first + rows) * kWidth;
  for (std::size_t l = 0; l < layers_.size(); ++l) {
    const Layer& layer = layers_[l];
    std::vector<float>& k = s.self_k[l];
    std::vector<float>& v = s.self_v[l];
    if (k.size() < capacity) {
      k.resize(capacity);
      v.resize(capacity);
    }
    float* new_k = k.data() + static_cast<std::size_t>(first) * kWidth;
    float* new_v = v.data() + static_cast<std::size_t>(first) * kWidth;

    layer_norm(s.x.data(), rows, layer.self_norm.data(), s.h.data());
    linear(s.h.data(), rows, layer.self.q, RowQuantization::kPerRow, s.linear, s.q.data());
    linear(s.h.data(), rows, layer.self.k, RowQuantization::kPerRow, s.linear, new_k);
    linear(s.h.data(), rows, layer.self.v, RowQuantization::kPerRow, s.linear, new_v);
    rotate(s.q.data(), rows, first, inv_freq_);
    rotate(new_k, rows, first, inv_freq_);
    // Row by row, as the model runs one token at a time: the products then have the shapes of
    // single steps, and a batch gives bit for bit the logits of feeding its tokens one by one.
    for (int r = 0; r < rows; ++r) {
      std::size_t row = static_cast<std::size_t>(r) * kWidth;
      attention(s.q.data() + row, 1, k.data(), v.data(), first + r + 1, true, first + r, s.scores,
                s.a.data() + row);
    }
    linear(s.a.data(), rows, layer.self.o, RowQuantization::kPerRow, s.linear, s.h.data());
    add(s.x.data(), s.h.data(), cells);

    layer_norm(s.x.data(), rows, layer.cross_norm.data(), s.h.data());
    linear(s.h.data(), rows, layer.cross.q, RowQuantization::kPerRow, s.linear, s.q.data());
    for (int r = 0; r < rows; ++r) {
      std::size_t row = static_cast<std::size_t>(r) * kWidth;
      attention(s.q.data() + row, 1, s.cross_k[l].data(), s.cross_v[l].data(), s.frames, false, 0,
                s.scores, s.a.data() + row);
    }
    linear(s.a.data(), rows, layer.cross.o, RowQuantization::kPerRow, s.linear, s.h.data());
    add(s.x.data(), s.h.data(), cells);

    layer_norm(s.x.data(), rows, layer.mlp_norm.data(), s.h.data());
    linear(s.h.data(), rows, layer.up, RowQuantization::kPerRow, s.linear, s.mlp.data());
    // The first half is the value, the second the SiLU gate; the product goes in the first half.
    for (int r = 0; r < rows; ++r) {
      float* u = s.mlp.data() + static_cast<std::size_t>(r) * 8 * kWidth;
      for (int i = 0; i < 4 * kWidth; ++i) {
        float gate = u[4 * kWidth + i];
        u[i] *= gate / (1.0f + std::exp(-gate));
      }
      // Compact the products so that the down projection reads [rows, 4 * kWidth].
      std::copy(u, u + 4 * kWidth, s.mlp.data() + static_cast<std::size_t>(r) * 4 * kWidth);
    }
    linear(s.mlp.data(), rows, layer.down, RowQuantization::kPerRow, s.linear, s.h.data());
    add(s.x.data(), s.h.data(), cells);
  }
  s.length = first + rows;
  layer_norm(s.x.data(), rows, final_norm_.data(), s.h.data());
  out.resize(static_cast<std::size_t>(rows) * kVocabulary);
  logits(s.h.data(), rows, s.threads, out.data());
}

void Decoder::logits(const float* x, int rows, int threads, float* out) const {
  parallel_for(threads, kVocabulary, [&](int, int begin, int end) {
    dequantized_products(x, rows, embedding_.data() + static_cast<std::size_t>(begin) * kWidth,
                         end - begin, embedding_zero_point_, embedding_scale_, out + begin,
                         kVocabulary);
  });
}

}  // namespace speech::moonshine
