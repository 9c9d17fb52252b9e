#include "platform/speech/moonshine/model.h"

#include <algorithm>
#include <cmath>

#include "platform/speech/moonshine/weights.h"

namespace speech::moonshine {
namespace {

// Prefix tokens fed to the decoder at once.
constexpr std::size_t kPrefixChunk = 8;

std::int32_t argmax(const float* logits) {
  return static_cast<std::int32_t>(std::max_element(logits, logits + kVocabulary) - logits);
}

}  // namespace

std::unique_ptr<Model> Model::load(const std::string& encoder_path,
                                   const std::string& decoder_path) {
  // One file at a time, so that only one parsed file is in memory at once.
  std::unique_ptr<Encoder> encoder;
  {
    OnnxWeights weights(encoder_path);
    encoder = std::make_unique<Encoder>(weights);
  }
  OnnxWeights weights(decoder_path);
  return std::unique_ptr<Model>(new Model(std::move(*encoder), weights));
}

Model::Model(Encoder&& encoder, OnnxWeights& decoder)
    : encoder_(std::move(encoder)), decoder_(decoder) {}

std::size_t maxTokens(std::size_t samples) {
  samples = std::min(samples, kMaxSegmentSamples);
  return static_cast<std::size_t>(
      std::ceil(static_cast<double>(samples) / kSampleRateHz * kMaxTokensPerSecond));
}

std::size_t usablePrefix(std::span<const std::int32_t> prefix, std::size_t limit) {
  std::size_t usable = 0;
  while (usable < prefix.size() && usable < limit && prefix[usable] >= 0 &&
         prefix[usable] < kVocabulary && prefix[usable] != kEndToken)
    ++usable;
  return usable;
}

std::span<const float> cleanSamples(std::span<const float> samples, std::vector<float>& copy) {
  auto clean = [](float x) { return !std::isnan(x) && x >= -1.0f && x <= 1.0f; };
  if (std::all_of(samples.begin(), samples.end(), clean)) return samples;
  copy.resize(samples.size());
  std::transform(samples.begin(), samples.end(), copy.begin(),
                 [](float x) { return std::isnan(x) ? 0.0f : std::clamp(x, -1.0f, 1.0f); });
  return copy;
}

bool encodeAndStart(const Model& model, std::span<const float> samples, Encoder::Scratch& scratch,
                    std::vector<float>& encoded, Decoder::State& state,
                    const std::function<bool()>& moot) {
  auto frames = static_cast<int>(encoderFrames(samples.size()));
  // Sized for both turns first: a turn that grew it would copy the other's dead contents.
  growScratch(state.cross,
              std::max(Encoder::workFloats(samples.size()), Decoder::crossFloats(frames)));
  scratch.work.swap(state.cross);
  bool encoded_all = model.encoder().encode(samples, scratch, encoded, moot);
  state.cross.swap(scratch.work);
  if (!encoded_all) return false;
  model.decoder().start(encoded.data(), frames, state);
  return true;
}

Session::Session(const Model& model, int threads) : model_(model), threads_(std::max(1, threads)) {}

std::size_t Session::scratchBytes() const {
  return heldBytes(samples_) + encoder_scratch_.bytes() + heldBytes(encoded_) + state_.bytes() +
         heldBytes(logits_) + heldBytes(kept_);
}

std::vector<std::int32_t> Session::transcribe(std::span<const float> samples,
                                              std::span<const std::int32_t> prefix) {
  return *transcribeUnless(samples, prefix, {});
}

std::optional<std::vector<std::int32_t>> Session::transcribeUnless(
    std::span<const float> samples, std::span<const std::int32_t> prefix,
    const std::function<bool()>& moot) {
  auto given_up = [&] { return moot && moot(); };
  kept_.clear();
  samples = samples.first(std::min(samples.size(), kMaxSegmentSamples));
  std::size_t frames = encoderFrames(samples.size());
  if (frames == 0) return std::vector<std::int32_t>{};
  samples = cleanSamples(samples, samples_);
  useOneMathThread();
  encoder_scratch_.threads = threads_;
  state_.threads = threads_;
  if (!encodeAndStart(model_, samples, encoder_scratch_, encoded_, state_, moot))
    return std::nullopt;
  const Decoder& decoder = model_.decoder();

  std::size_t limit = maxTokens(samples.size());
  std::vector<std::int32_t> tokens;
  if (given_up()) return std::nullopt;
  std::int32_t next = followPrefix(prefix.first(usablePrefix(prefix, limit)), tokens);
  while (next != kEndToken && tokens.size() < limit) {
    tokens.push_back(next);
    if (tokens.size() == limit) break;
    if (given_up()) return std::nullopt;
    decoder.step({&next, 1}, state_, logits_);
    keep(logits_.data());
    next = argmax(logits_.data());
  }
  return tokens;
}

std::int32_t Session::followPrefix(std::span<const std::int32_t> prefix,
                                   std::vector<std::int32_t>& tokens) {
  // Fed a few at a time: the logits of a chunk are all that is held at once, and a prefix that
  // goes astray early costs no more than the chunk it went astray in.
  std::vector<std::int32_t> input{kStartToken};
  input.insert(input.end(), prefix.begin(), prefix.end());
  std::size_t row = 0;
  std::int32_t next = 0;
  for (bool kept_all = true; kept_all;) {
    std::size_t n = std::min(kPrefixChunk, input.size() - row);
    model_.decoder().step({input.data() + row, n}, state_, logits_);
    for (std::size_t r = 0; r < n; ++r, ++row) {
      const float* logits = logits_.data() + r * kVocabulary;
      keep(logits);
      next = argmax(logits);
      if (row == prefix.size() || next != prefix[row]) {
        kept_all = false;
        break;
      }
      tokens.push_back(next);
    }
  }
  // The cache holds the start token and the kept tokens; later ones are forgotten.
  Decoder::truncate(state_, static_cast<int>(row) + 1);
  return next;
}

void Session::keep(const float* logits) {
  if (static_cast<int>(kept_.size() / kVocabulary) < keep_steps_)
    kept_.insert(kept_.end(), logits, logits + kVocabulary);
}

}  // namespace speech::moonshine
