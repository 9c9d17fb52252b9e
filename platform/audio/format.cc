#include "platform/audio/format.h"

#include <cmath>
#include <cstdio>

namespace audio {

AVAudioFormat::AVAudioFormat(AVAudioCommonFormat commonFormat, double sampleRate,
                             std::uint32_t channels, bool interleaved)
    : common_format_(commonFormat),
      sample_rate_(sampleRate),
      channels_(channels),
      interleaved_(interleaved) {}

std::uint32_t AVAudioFormat::bytesPerSample() const {
  switch (common_format_) {
    case AVAudioCommonFormat::PCMFormatInt16:
      return 2;
    case AVAudioCommonFormat::PCMFormatFloat32:
      return 4;
  }
  return 0;
}

bool AVAudioFormat::isValid() const {
  return bytesPerSample() != 0 && std::isfinite(sample_rate_) && sample_rate_ > 0 && channels_ > 0;
}

std::string AVAudioFormat::description() const {
  const char* encoding = "unknown encoding";
  switch (common_format_) {
    case AVAudioCommonFormat::PCMFormatInt16:
      encoding = "int16";
      break;
    case AVAudioCommonFormat::PCMFormatFloat32:
      encoding = "float32";
      break;
  }
  // %.10g prints whole rates without a decimal tail and keeps a fractional rate visible.
  char text[128];
  std::snprintf(text, sizeof text, "%.10g Hz, %u ch, %s, %s", sample_rate_, channels_, encoding,
                interleaved_ ? "interleaved" : "deinterleaved");
  return text;
}

}  // namespace audio
