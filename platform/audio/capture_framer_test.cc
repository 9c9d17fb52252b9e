#include "platform/audio/capture_framer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace audio {
namespace {

struct Emitted {
  std::vector<std::shared_ptr<PcmBuffer>> buffers;
  std::vector<std::uint64_t> times;
};

// Interleaved input in which every sample tells its frame and channel apart.
std::vector<unsigned char> interleaved(const PcmFormat& format, std::uint32_t frames) {
  std::vector<unsigned char> bytes;
  for (std::uint32_t f = 0; f < frames; ++f) {
    for (std::uint32_t c = 0; c < format.channelCount(); ++c) {
      float value = static_cast<float>(f * 10 + c);
      auto sample = static_cast<std::int16_t>(value);
      auto* from = format.sampleFormat() == SampleFormat::Float32
                       ? reinterpret_cast<const unsigned char*>(&value)
                       : reinterpret_cast<const unsigned char*>(&sample);
      bytes.insert(bytes.end(), from, from + format.bytesPerSample());
    }
  }
  return bytes;
}

double sampleAt(const PcmBuffer& buffer, std::uint32_t channel, std::uint32_t frame) {
  std::uint32_t plane = buffer.format().isInterleaved() ? 0 : channel;
  std::size_t index =
      std::size_t{frame} * buffer.stride() + (buffer.format().isInterleaved() ? channel : 0);
  if (buffer.floatChannelData()) return buffer.floatChannelData()[plane][index];
  return buffer.int16ChannelData()[plane][index];
}

// Feeds `bytes` in pieces whose sizes cycle through `sizes`.
Emitted feed(CaptureFramer& framer, const std::vector<unsigned char>& bytes,
             const std::vector<std::size_t>& sizes) {
  Emitted out;
  auto emit = [&out](std::shared_ptr<PcmBuffer> buffer, CaptureTime when) {
    out.buffers.push_back(std::move(buffer));
    out.times.push_back(when.sampleTime);
  };
  for (std::size_t i = 0, at = 0; at < bytes.size(); ++i) {
    std::size_t n = std::min(sizes[i % sizes.size()], bytes.size() - at);
    framer.push(bytes.data() + at, n, emit);
    at += n;
  }
  return out;
}

// Every buffer full, in the tap's format, stamped with its first frame's position, holding
// consecutive frames with each channel in its place.
void expectFrames(const Emitted& out, const PcmFormat& format, std::uint32_t buffers,
                  std::uint32_t frames) {
  ASSERT_EQ(out.buffers.size(), buffers);
  for (std::uint32_t b = 0; b < buffers; ++b) {
    const PcmBuffer& buffer = *out.buffers[b];
    ASSERT_EQ(buffer.format(), format);
    ASSERT_EQ(buffer.frameLength(), frames);
    EXPECT_EQ(out.times[b], std::uint64_t{b} * frames);
    for (std::uint32_t c = 0; c < format.channelCount(); ++c) {
      for (std::uint32_t f = 0; f < frames; ++f) {
        ASSERT_EQ(sampleAt(buffer, c, f), (b * frames + f) * 10 + c)
            << "buffer " << b << " channel " << c << " frame " << f;
      }
    }
  }
}

TEST(CaptureFramerTest, AnyCutOfTheStreamGivesTheSameBuffers) {
  for (const PcmFormat& format : {PcmFormat(SampleFormat::Float32, 44100, 3, false),
                                  PcmFormat(SampleFormat::Int16, 16000, 2, true)}) {
    SCOPED_TRACE(format.description());
    const std::vector<unsigned char> bytes = interleaved(format, 50);  // 7 buffers and a frame
    for (std::size_t cut = 1; cut <= bytes.size(); ++cut) {
      SCOPED_TRACE("cut at byte " + std::to_string(cut));
      CaptureFramer framer(format, 7);
      expectFrames(feed(framer, bytes, {cut, bytes.size()}), format, 7, 7);
    }
    // Pieces smaller than a sample, than a frame, and larger than a buffer.
    CaptureFramer framer(format, 7);
    expectFrames(feed(framer, bytes, {5, 1, 400, 10, 3, 300, 2, 13}), format, 7, 7);
  }
}

TEST(CaptureFramerTest, ResetDropsWhatWasNotHandedOut) {
  const PcmFormat format(SampleFormat::Float32, 48000, 1, false);
  CaptureFramer framer(format, 4);
  const std::vector<unsigned char> old_audio = interleaved(format, 6);
  Emitted before = feed(framer, old_audio, {old_audio.size() - 2});  // 5 frames and a half
  ASSERT_EQ(before.buffers.size(), 1u);
  framer.reset();

  std::vector<float> fresh = {100, 101, 102, 103};
  std::vector<unsigned char> bytes(sizeof(float) * fresh.size());
  std::memcpy(bytes.data(), fresh.data(), bytes.size());
  Emitted after = feed(framer, bytes, {bytes.size()});
  ASSERT_EQ(after.buffers.size(), 1u);
  for (std::uint32_t f = 0; f < fresh.size(); ++f)
    EXPECT_EQ(sampleAt(*after.buffers[0], 0, f), fresh[f]);
  EXPECT_GT(after.times[0], before.times[0]);
}

}  // namespace
}  // namespace audio
