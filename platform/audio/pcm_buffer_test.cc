#include "platform/audio/pcm_buffer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace audio {
namespace {

constexpr auto kInt16 = SampleFormat::Int16;
constexpr auto kFloat = SampleFormat::Float32;
constexpr std::uint32_t kHuge = std::numeric_limits<std::uint32_t>::max();

TEST(PCMBufferTest, RefusesEmptyAbsurdAndInvalidRequests) {
  EXPECT_EQ(PcmBuffer::create(PcmFormat(kInt16, 16000, 1, true), 0), nullptr);
  EXPECT_EQ(PcmBuffer::create(PcmFormat(kFloat, 48000, 2, false), kHuge), nullptr);
  for (const PcmFormat& invalid : {PcmFormat(kInt16, 16000, 0, true), PcmFormat(kInt16, 0, 1, true),
                                   PcmFormat(kFloat, std::nan(""), 1, true),
                                   PcmFormat(static_cast<SampleFormat>(7), 16000, 1, true)}) {
    EXPECT_EQ(PcmBuffer::create(invalid, 16), nullptr) << invalid.description();
  }
}

TEST(PCMBufferTest, FrameLengthIsClampedToCapacity) {
  auto buffer = PcmBuffer::create(PcmFormat(kInt16, 16000, 1, true), 3216);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer->frameLength(), 0u);
  buffer->setFrameLength(3217);
  EXPECT_EQ(buffer->frameLength(), 3216u);
  buffer->setFrameLength(kHuge);
  EXPECT_EQ(buffer->frameLength(), 3216u);
}

// Fills every plane to its capacity (an overrun or overlap shows under AddressSanitizer or in
// the read-back) and checks that only the format's own encoding has planes.
TEST(PCMBufferTest, PlanesMatchTheLayout) {
  for (bool interleaved : {true, false}) {
    auto buffer = PcmBuffer::create(PcmFormat(kFloat, 48000, 3, interleaved), 1000);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->int16ChannelData(), nullptr);
    EXPECT_EQ(buffer->stride(), interleaved ? 3u : 1u);
    const std::uint32_t planes = interleaved ? 1 : 3;
    const std::uint32_t per_plane = 3000 / planes;
    for (std::uint32_t p = 0; p < planes; ++p) {
      for (std::uint32_t i = 0; i < per_plane; ++i) buffer->floatChannelData()[p][i] = p + 1.0f;
    }
    for (std::uint32_t p = 0; p < planes; ++p) {
      for (std::uint32_t i = 0; i < per_plane; ++i) {
        ASSERT_EQ(buffer->floatChannelData()[p][i], p + 1.0f) << interleaved << " " << p;
      }
    }
  }
}

}  // namespace
}  // namespace audio
