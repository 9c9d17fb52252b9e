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
class AVAudioPCMBuffer {
 public:
  // None when the capacity is zero or the memory cannot be had.
  static std::shared_ptr<AVAudioPCMBuffer> initWithPCMFormat(const AVAudioFormat& format,
                                                            std::uint32_t frameCapacity);

  const AVAudioFormat& format() const { return format_; }
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
  AVAudioPCMBuffer(const AVAudioFormat& format, std::uint32_t capacity);

  AVAudioFormat format_;
  std::uint32_t capacity_;
  std::uint32_t length_ = 0;
  std::vector<int16_t> int16_samples_;
  std::vector<float> float_samples_;
  std::vector<int16_t*> int16_planes_;
  std::vector<float*> float_planes_;
};

}  // namespace audio
