// A buffer of PCM frames in one format.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/audio/format.h"

namespace audio {

// Holds up to frameCapacity() frames, of which the first frameLength() are valid. Interleaved
// formats keep one plane with channelCount() samples per frame; the others keep one plane per
// channel. Not thread-safe: one thread at a time, handed over through a stream or a lock.
class PcmBuffer {
 public:
  // None when the format is not valid, the capacity is zero, the samples would take more than
  // kMaxBytes, or the memory cannot be had. The samples start out as silence.
  static std::shared_ptr<PcmBuffer> create(const PcmFormat& format, std::uint32_t frameCapacity);

  // Far beyond any real buffer (over 45 minutes of 48 kHz stereo float): larger requests are
  // taken for a miscomputed capacity rather than honoured.
  static constexpr std::uint64_t kMaxBytes = std::uint64_t{1} << 30;

  // The plane pointers point into this object's own storage, so a copy would share them.
  PcmBuffer(const PcmBuffer&) = delete;
  PcmBuffer& operator=(const PcmBuffer&) = delete;

  const PcmFormat& format() const { return format_; }
  std::uint32_t frameCapacity() const { return capacity_; }
  std::uint32_t frameLength() const { return length_; }
  // Clamped to the capacity.
  void setFrameLength(std::uint32_t frames);
  // Samples between one frame and the next within a plane: channelCount() when interleaved.
  std::uint32_t stride() const;

  // One pointer per plane; null when the format holds samples of the other encoding.
  int16_t* const* int16ChannelData();
  float* const* floatChannelData();
  const int16_t* const* int16ChannelData() const;
  const float* const* floatChannelData() const;

 private:
  PcmBuffer(const PcmFormat& format, std::uint32_t capacity);

  PcmFormat format_;
  std::uint32_t capacity_;
  std::uint32_t length_ = 0;
  std::vector<int16_t> int16_samples_;
  std::vector<float> float_samples_;
  std::vector<int16_t*> int16_planes_;
  std::vector<float*> float_planes_;
};

}  // namespace audio
