// libFuzzer target for the Moonshine engine: any segment (16-bit or float samples, any values,
// any length up to what the fuzzer gives) with any prefix decodes without a fault, to at most
// maxTokens(samples) tokens, and a prefix never changes the greedy result.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/speech/moonshine/model.h"

namespace {

namespace moonshine = speech::moonshine;

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::unique_ptr<moonshine::Model> model =
      moonshine::Model::load(VORLIN_MOONSHINE_MODEL_DIR "/encoder_model.onnx",
                             VORLIN_MOONSHINE_MODEL_DIR "/decoder_model_merged.onnx");
  static moonshine::Session session(*model);
  if (size < 2) return 0;
  // Byte 0: low bit picks float samples over 16-bit ones; the rest is how many 16-bit prefix
  // tokens follow (any values, in range or not).
  bool floats = data[0] & 1;
  std::size_t prefix_count = std::min<std::size_t>(data[0] >> 1, (size - 1) / 2);
  std::vector<std::int32_t> prefix(prefix_count);
  for (std::size_t i = 0; i < prefix_count; ++i) {
    std::int16_t token;
    std::memcpy(&token, data + 1 + 2 * i, 2);
    prefix[i] = token;
  }
  const std::uint8_t* audio = data + 1 + 2 * prefix_count;
  std::size_t bytes = size - 1 - 2 * prefix_count;
  std::vector<float> samples;
  if (floats) {
    samples.resize(bytes / 4);
    std::memcpy(samples.data(), audio, samples.size() * 4);
  } else {
    samples.resize(bytes / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
      std::int16_t s;
      std::memcpy(&s, audio + 2 * i, 2);
      samples[i] = s / 32768.0f;
    }
  }
  std::vector<std::int32_t> tokens = session.transcribe(samples, prefix);
  check(tokens.size() <= moonshine::maxTokens(samples.size()));
  for (std::int32_t t : tokens)
    check(t >= 0 && t < moonshine::kVocabulary && t != moonshine::kEndToken);
  if (!prefix.empty()) check(session.transcribe(samples) == tokens);
  return 0;
}
