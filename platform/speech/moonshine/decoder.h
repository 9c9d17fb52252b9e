#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/speech/moonshine/frame_linear.h"
#include "platform/speech/moonshine/integer_products.h"
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
    // The cross keys and values: crossFloats(frames) of them, a layer's keys then its values,
    // each [frames, kWidth].
    std::vector<float> cross;
    std::vector<std::vector<float>> self_k, self_v;  // per layer, rows of kWidth
    int frames = 0;
    int length = 0;   // tokens in the self-attention cache
    int threads = 1;  // for the output layer
    std::vector<float> x, h, q, k, v, a, mlp, scores;
    FrameScratch frames_scratch;  // the cross keys and values
    PackedScratch packed;
    std::size_t bytes() const;  // what it holds
  };

  // Starts a decoding of `frames` encoded frames ([frames, kWidth]): computes the cross keys and
  // values and empties the token cache.
  void start(const float* encoded, int frames, State& state) const;
  static std::size_t crossFloats(int frames);

  // Runs `tokens` (positions state.length ...) through the decoder, appending them to the cache,
  // and writes the logits of each ([tokens.size(), kVocabulary]) to `logits`.
  void step(std::span<const std::int32_t> tokens, State& state, std::vector<float>& logits) const;

  // Forgets the cached tokens from `length` on.
  static void truncate(State& state, int length) { state.length = std::min(state.length, length); }

 private:
  // Every product of a step is one row: its layers are packed for the row kernels. The cross
  // keys and values are computed once per decoding, from all frames together.
  struct Layer {
    std::vector<float> self_norm, cross_norm, mlp_norm;
    PackedLinear self_q, self_k, self_v, self_o, cross_q, cross_o, up, down;
    FrameLinear cross_k, cross_v;
  };
  // The parts of a step over its `rows` tokens, each reading state.x; the three blocks of a
  // layer leave what they add to state.x in state.h.
  void embed(std::span<const std::int32_t> tokens, State& state) const;
  void selfAttention(std::size_t layer, int rows, State& state) const;
  void crossAttention(std::size_t layer, int rows, State& state) const;
  void feedForward(const Layer& layer, int rows, State& state) const;
  void logits(const float* x, int rows, State& state, float* out) const;

  // The token embedding, [kVocabulary, kWidth], packed as the output layer it also is; the
  // input embedding reads its rows from there, so the 9 MB are kept once.
  PackedLinear embedding_;
  std::vector<Layer> layers_;
  std::vector<float> final_norm_;
  std::vector<float> inv_freq_;
};

}  // namespace speech::moonshine
