#include "platform/audio/format.h"

#include <cmath>
#include <cstdio>

namespace audio {

PcmFormat::PcmFormat(SampleFormat sampleFormat, double sampleRate, std::uint32_t channels,
                     bool interleaved)
    : sample_format_(sampleFormat),
      sample_rate_(sampleRate),
      channels_(channels),
      interleaved_(interleaved) {}

std::uint32_t PcmFormat::bytesPerSample() const {
  switch (sample_format_) {
    case SampleFormat::Int16:
      return 2;
    case SampleFormat::Float32:
      return 4;
  }
  return 0;
}

bool PcmFormat::isValid() const {
  return bytesPerSample() != 0 && std::isfinite(sample_rate_) && sample_rate_ > 0 && channels_ > 0;
}

std::string PcmFormat::description() const {
  const char* encoding = "unknown encoding";
  switch (sample_format_) {
    case SampleFormat::Int16:
      encoding = "int16";
      break;
    case SampleFormat::Float32:
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
