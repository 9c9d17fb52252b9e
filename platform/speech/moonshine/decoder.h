#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/speech/moonshine/layers.h"

namespace speech::moonshine {

class OnnxWeights;

inline constexpr int kVocabulary = 32768;
inline constexpr std::int32_t kStartToken = 1;
inline constexpr std::int32_t kEndToken = 2;

// The text decoder: token embedding, layers of causal self-attention (rotary positions), cross
// attention to the encoder frames and a gated MLP, then the embedding again as output layer.
class Decoder {
 public:
  explicit Decoder(OnnxWeights& weights);

  // What one decoding keeps between steps: the cross-attention keys and values of the encoded
  // audio, the self-attention keys and values of the tokens so far, and scratch memory.
  struct State {
    std::vector<std::vector<float>> cross_k, cross_v, self_k, self_v;  // per layer, rows of kWidth
    int frames = 0;
    int length = 0;   // tokens in the self-attention cache
    int threads = 1;  // for the output layer
    std::vector<float> x, h, q, k, v, a, mlp, scores;
    LinearScratch linear;
  };

  // Starts a decoding of `frames` encoded frames ([frames, kWidth]): computes the cross keys and
  // values and empties the token cache.
  void start(const float* encoded, int frames, State& state) const;

  // Runs `tokens` (positions state.length ...) through the decoder, appending them to the cache,
  // and writes the logits of each ([tokens.size(), kVocabulary]) to `logits`.
  void step(std::span<const std::int32_t> tokens, State& state, std::vector<float>& logits) const;

  // Forgets the cached tokens from `length` on.
  static void truncate(State& state, int length) { state.length = std::min(state.length, length); }

 private:
  struct Layer {
    std::vector<float> self_norm, cross_norm, mlp_norm;
    AttentionProjections self, cross;
    QuantizedLinear up, down;
  };
  void logits(const float* x, int rows, int threads, float* out) const;

  std::vector<std::uint8_t> embedding_;  // [kVocabulary, kWidth] as stored
  float embedding_scale_ = 0;
  std::uint8_t embedding_zero_point_ = 0;
  std::vector<Layer> layers_;
  std::vector<float> final_norm_;
  std::vector<float> inv_freq_;
};

}  // namespace speech::moonshine
