// Cuts captured audio, which the audio server hands over in pieces of any length, into buffers of
// a fixed number of frames in the tap's own layout.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "platform/audio/engine.h"
#include "platform/audio/format.h"
#include "platform/audio/pcm_buffer.h"

namespace audio {

// Not thread-safe: owned by the capture thread. The incoming bytes have the format's encoding,
// rate and channel count in native byte order, always interleaved; the buffers handed out have
// the format's layout, interleaved or one plane per channel.
class CaptureFramer {
 public:
  CaptureFramer(const PcmFormat& format, std::uint32_t frames_per_buffer)
      : format_(format),
        frames_per_buffer_(std::max<std::uint32_t>(frames_per_buffer, 1)),
        bytes_per_sample_(format.bytesPerSample()),
        bytes_per_frame_(bytes_per_sample_ * format.channelCount()),
        partial_frame_(bytes_per_frame_) {
    planes_.reserve(format.channelCount());
  }

  const PcmFormat& format() const { return format_; }
  std::size_t bytesPerFrame() const { return bytes_per_frame_; }

  // Calls emit(std::shared_ptr<PcmBuffer>, CaptureTime) for each buffer filled, in order;
  // the rest, down to a partial frame, waits for the next call. When a buffer cannot be had its
  // frames are dropped, and the time stamps still count them.
  template <typename Emit>
  void push(const void* data, std::size_t bytes, Emit&& emit) {
    auto* in = static_cast<const unsigned char*>(data);
    if (partial_bytes_ > 0) {
      std::size_t take = std::min(bytes_per_frame_ - partial_bytes_, bytes);
      std::memcpy(partial_frame_.data() + partial_bytes_, in, take);
      partial_bytes_ += take;
      in += take;
      bytes -= take;
      if (partial_bytes_ < bytes_per_frame_) return;
      putFrames(partial_frame_.data(), 1, emit);
      partial_bytes_ = 0;
    }
    std::size_t frames = bytes / bytes_per_frame_;
    putFrames(in, frames, emit);
    partial_bytes_ = bytes - frames * bytes_per_frame_;
    std::memcpy(partial_frame_.data(), in + frames * bytes_per_frame_, partial_bytes_);
  }

  // Forgets everything not yet handed out: after a reconnection the audio starts afresh, and a
  // buffer that joined the two sides of the gap would hold a click.
  void reset() {
    partial_bytes_ = 0;
    current_.reset();
  }

 private:
  template <typename Emit>
  void putFrames(const unsigned char* in, std::size_t frames, Emit& emit) {
    while (frames > 0) {
      if (!current_) {
        current_ = PcmBuffer::create(format_, frames_per_buffer_);
        if (!current_) {
          frames_handed_out_ += frames;
          return;
        }
      }
      std::uint32_t length = current_->frameLength();
      std::uint32_t n = static_cast<std::uint32_t>(
          std::min<std::size_t>(frames, current_->frameCapacity() - length));
      unsigned char* const* planes = planesOf(*current_);
      if (format_.isInterleaved()) {
        std::memcpy(planes[0] + std::size_t{length} * bytes_per_frame_, in,
                    std::size_t{n} * bytes_per_frame_);
      } else {
        std::uint32_t channels = format_.channelCount();
        for (std::uint32_t c = 0; c < channels; ++c) {
          unsigned char* out = planes[c] + std::size_t{length} * bytes_per_sample_;
          const unsigned char* from = in + std::size_t{c} * bytes_per_sample_;
          for (std::uint32_t i = 0; i < n; ++i) {
            std::memcpy(out + std::size_t{i} * bytes_per_sample_,
                        from + std::size_t{i} * bytes_per_frame_, bytes_per_sample_);
          }
        }
      }
      current_->setFrameLength(length + n);
      in += std::size_t{n} * bytes_per_frame_;
      frames -= n;
      if (current_->frameLength() == current_->frameCapacity()) {
        CaptureTime when{frames_handed_out_};
        frames_handed_out_ += current_->frameLength();
        emit(std::move(current_), when);
        current_.reset();
      }
    }
  }

  unsigned char* const* planesOf(PcmBuffer& buffer) {
    planes_.clear();
    if (format_.sampleFormat() == SampleFormat::Float32) {
      float* const* p = buffer.floatChannelData();
      for (std::size_t i = 0; i < (format_.isInterleaved() ? 1 : format_.channelCount()); ++i) {
        planes_.push_back(reinterpret_cast<unsigned char*>(p[i]));
      }
    } else {
      int16_t* const* p = buffer.int16ChannelData();
      for (std::size_t i = 0; i < (format_.isInterleaved() ? 1 : format_.channelCount()); ++i) {
        planes_.push_back(reinterpret_cast<unsigned char*>(p[i]));
      }
    }
    return planes_.data();
  }

  PcmFormat format_;
  std::uint32_t frames_per_buffer_;
  std::size_t bytes_per_sample_;
  std::size_t bytes_per_frame_;
  std::vector<unsigned char> partial_frame_;
  std::size_t partial_bytes_ = 0;
  std::shared_ptr<PcmBuffer> current_;
  std::uint64_t frames_handed_out_ = 0;
  // Reused across buffers so that filling one allocates nothing but the buffer itself.
  std::vector<unsigned char*> planes_;
};

}  // namespace audio
