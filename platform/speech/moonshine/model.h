#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/speech/moonshine/decoder.h"
#include "platform/speech/moonshine/encoder.h"
#include "platform/speech/sample_rate.h"

// Moonshine tiny, the speech-to-text model, run from its two ONNX files.
namespace speech::moonshine {

using speech::kSampleRateHz;
// The longest segment the model was trained for; transcribe() cuts longer input to it.
inline constexpr std::size_t kMaxSegmentSamples = 30 * kSampleRateHz;
// Decoding stops after this many tokens per second of audio, so that a model caught in a loop
// still ends.
inline constexpr int kMaxTokensPerSecond = 6;

// The weights. Immutable once loaded: share it between threads.
class Model {
 public:
  // Reads both ONNX files; throws speech::Error naming the file and what is wrong (missing,
  // empty, not ONNX, a weight missing or of the wrong shape).
  static std::unique_ptr<Model> load(const std::string& encoder_path,
                                     const std::string& decoder_path);

  const Encoder& encoder() const { return encoder_; }
  const Decoder& decoder() const { return decoder_; }

 private:
  Model(Encoder&& encoder, OnnxWeights& decoder);
  Encoder encoder_;
  Decoder decoder_;
};

// The most tokens transcribe() gives for `samples` samples.
std::size_t maxTokens(std::size_t samples);

// How many of `prefix`'s first tokens an earlier reading may hand on: up to `limit`, and up to
// its first token the model could not have given (outside the vocabulary, or the end token).
std::size_t usablePrefix(std::span<const std::int32_t> prefix, std::size_t limit);

// `samples` as the encoder takes them: non-numbers read as 0, values outside [-1, 1] clipped.
// Audio that needs neither (all audio from 16-bit samples) is returned as it is; other audio is
// cleaned into `copy`.
std::span<const float> cleanSamples(std::span<const float> samples, std::vector<float>& copy);

// Encodes `samples` (at least one frame) into `encoded` and starts a decoding of them in
// `state`. The encoder's activations and the decoder's cross keys and values are never needed at
// once: they take turns in one buffer, state.cross, sized once for the larger, where on a long
// segment each would hold about 10 MB of its own. scratch.work is left empty. False, and no
// decoding started, when `moot` stopped the encoder (see Encoder::encode).
bool encodeAndStart(const Model& model, std::span<const float> samples, Encoder::Scratch& scratch,
                    std::vector<float>& encoded, Decoder::State& state,
                    const std::function<bool()>& moot = {});

// One decoding context: owns its scratch memory and caches; use from one thread at a time.
class Session {
 public:
  explicit Session(const Model& model, int threads = 1);

  // The threads later readings run on; they give the same tokens on any number.
  void setThreads(int threads) { threads_ = std::max(1, threads); }

  // Greedy tokens (no start or end token) for `samples`, 16 kHz mono in [-1, 1] (values outside
  // are clipped, non-numbers read as 0). At most maxTokens(samples) tokens; stops at the end
  // token. Input too short for one encoder frame gives no tokens; input longer than
  // kMaxSegmentSamples is cut to it.
  // `prefix`: tokens an earlier call gave for a shorter beginning of the same segment. They are
  // fed in batched (causal) passes of a few tokens and kept up to the first that is not the model's
  // own greedy choice; decoding continues from there. So the result equals plain greedy decoding
  // whenever the prefix agrees with it, and costs one pass instead of one step per kept token.
  std::vector<std::int32_t> transcribe(std::span<const float> samples,
                                       std::span<const std::int32_t> prefix = {});
  // transcribe() for a reading that may turn moot while under way: `moot` is asked between the
  // encoder's stages and before each decoding step, and once it says so the reading stops and
  // gives nothing. The session serves later calls as well as after any other.
  std::optional<std::vector<std::int32_t>> transcribeUnless(std::span<const float> samples,
                                                            std::span<const std::int32_t> prefix,
                                                            const std::function<bool()>& moot);

  // The logits of the first `steps` greedy decoding steps of the last transcribe() call
  // (fewer when it ended sooner), [steps, kVocabulary]; kept only when asked for with
  // keepLogits(). For comparing with other implementations.
  void keepLogits(int steps) { keep_steps_ = steps; }

  // The memory of the scratch and caches this session holds: sized by the longest input it
  // has read, and reused, whatever the number of inputs.
  std::size_t scratchBytes() const;
  const std::vector<float>& keptLogits() const { return kept_; }

 private:
  // Feeds the start token and `prefix`, keeping (into `tokens`) each prefix token that is the
  // greedy choice, up to the first that is not; returns the greedy token after those kept.
  std::int32_t followPrefix(std::span<const std::int32_t> prefix,
                            std::vector<std::int32_t>& tokens);
  void keep(const float* logits);  // the logits of one step, while keepLogits() asks for more

  const Model& model_;
  int threads_;
  std::vector<float> samples_;
  Encoder::Scratch encoder_scratch_;
  std::vector<float> encoded_;
  Decoder::State state_;
  std::vector<float> logits_;
  int keep_steps_ = 0;
  std::vector<float> kept_;
};

}  // namespace speech::moonshine
