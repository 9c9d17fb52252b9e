#include "platform/audio/pcm_buffer.h"

#include <algorithm>
#include <new>

namespace audio {

namespace {

// Points one entry per plane into `samples`: a single plane when interleaved.
template <typename T>
void makePlanes(std::vector<T>& samples, std::vector<T*>& planes, const PcmFormat& format,
                std::uint32_t capacity) {
  if (format.isInterleaved()) {
    planes.push_back(samples.data());
    return;
  }
  for (std::uint32_t ch = 0; ch < format.channelCount(); ++ch) {
    planes.push_back(samples.data() + std::size_t{ch} * capacity);
  }
}

}  // namespace

std::shared_ptr<PcmBuffer> PcmBuffer::create(const PcmFormat& format, std::uint32_t frameCapacity) {
  if (!format.isValid() || frameCapacity == 0) return nullptr;
  // Both factors are below 2^32, so the product cannot overflow 64 bits.
  const std::uint64_t bytes =
      std::uint64_t{frameCapacity} * format.channelCount() * format.bytesPerSample();
  if (bytes > kMaxBytes) return nullptr;
  try {
    return std::shared_ptr<PcmBuffer>(new PcmBuffer(format, frameCapacity));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

PcmBuffer::PcmBuffer(const PcmFormat& format, std::uint32_t capacity)
    : format_(format), capacity_(capacity) {
  const std::size_t samples = std::size_t{capacity} * format.channelCount();
  if (format.sampleFormat() == SampleFormat::Int16) {
    int16_samples_.resize(samples);
    makePlanes(int16_samples_, int16_planes_, format, capacity);
  } else {
    float_samples_.resize(samples);
    makePlanes(float_samples_, float_planes_, format, capacity);
  }
}

void PcmBuffer::setFrameLength(std::uint32_t frames) { length_ = std::min(frames, capacity_); }

std::uint32_t PcmBuffer::stride() const {
  return format_.isInterleaved() ? format_.channelCount() : 1;
}

int16_t* const* PcmBuffer::int16ChannelData() {
  return int16_planes_.empty() ? nullptr : int16_planes_.data();
}

float* const* PcmBuffer::floatChannelData() {
  return float_planes_.empty() ? nullptr : float_planes_.data();
}

const int16_t* const* PcmBuffer::int16ChannelData() const {
  return int16_planes_.empty() ? nullptr : int16_planes_.data();
}

const float* const* PcmBuffer::floatChannelData() const {
  return float_planes_.empty() ? nullptr : float_planes_.data();
}

}  // namespace audio
