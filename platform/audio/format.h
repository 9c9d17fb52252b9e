// Descriptions of linear PCM audio.
#pragma once

#include <cstdint>
#include <string>

namespace audio {

// Sample encodings, numbered as callers of the platform layer know them.
enum class SampleFormat : int {
  Float32 = 1,
  Int16 = 3,
};

// A value type: sample encoding, rate in Hz, channel count, and whether the channels of a frame
// sit side by side in one plane (interleaved) or each in a plane of its own.
class PcmFormat {
 public:
  // Always succeeds for the encodings above, a positive rate and at least one channel.
  PcmFormat(SampleFormat sampleFormat, double sampleRate, std::uint32_t channels, bool interleaved);

  SampleFormat sampleFormat() const { return sample_format_; }
  double sampleRate() const { return sample_rate_; }
  std::uint32_t channelCount() const { return channels_; }
  bool isInterleaved() const { return interleaved_; }
  // 0 for an encoding outside the enumeration.
  std::uint32_t bytesPerSample() const;
  // A known encoding, a finite positive rate and at least one channel: what buffers and
  // converters accept.
  bool isValid() const;
  // "16000 Hz, 1 ch, int16, interleaved": for error descriptions.
  std::string description() const;

  bool operator==(const PcmFormat&) const = default;

 private:
  SampleFormat sample_format_;
  double sample_rate_;
  std::uint32_t channels_;
  bool interleaved_;
};

}  // namespace audio
