#include "platform/audio/converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <numbers>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace audio {
namespace {

using In = ConverterInputStatus;
using Out = ConverterStatus;
using Buffer = std::shared_ptr<PcmBuffer>;

const PcmFormat kDictation(SampleFormat::Int16, 16000, 1, true);
const PcmFormat kMicrophone(SampleFormat::Float32, 48000, 2, false);

// Calls visit(frame, channel, sample&) for every sample of the first `frames` frames.
template <typename Visit>
void eachSample(PcmBuffer& buffer, std::size_t frames, Visit visit) {
  const bool interleaved = buffer.format().isInterleaved();
  for (std::size_t i = 0; i < frames; ++i) {
    for (std::uint32_t ch = 0; ch < buffer.format().channelCount(); ++ch) {
      std::size_t plane = interleaved ? 0 : ch;
      std::size_t at = i * buffer.stride() + (interleaved ? ch : 0);
      if (buffer.int16ChannelData()) {
        visit(i, ch, buffer.int16ChannelData()[plane][at]);
      } else {
        visit(i, ch, buffer.floatChannelData()[plane][at]);
      }
    }
  }
}

// Frames first..first+frames of the signal value(frame, channel), stored without scaling:
// int16 formats take raw sample counts, float formats values around [-1, 1].
Buffer makeBuffer(const PcmFormat& format, std::size_t first, std::size_t frames,
                  const std::function<double(std::size_t, std::uint32_t)>& value) {
  Buffer buffer = PcmBuffer::create(format, static_cast<std::uint32_t>(frames));
  buffer->setFrameLength(static_cast<std::uint32_t>(frames));
  eachSample(*buffer, frames, [&](std::size_t i, std::uint32_t ch, auto& sample) {
    sample = static_cast<std::remove_reference_t<decltype(sample)>>(value(first + i, ch));
  });
  return buffer;
}

// One conversion as the dictation reader makes it: the buffer once, then NoDataNow. Appends
// the output's samples, channel-interleaved, to `out`.
Out convertOne(Converter& converter, Buffer in, std::uint32_t capacity, std::vector<double>& out,
               int* asks = nullptr, In after = In::NoDataNow) {
  Buffer output = PcmBuffer::create(converter.outputFormat(), capacity);
  std::string error;
  Out status = converter.convert(*output, &error, [&](std::uint32_t, In* s) {
    if (asks) ++*asks;
    *s = in ? In::HaveData : after;
    return std::exchange(in, nullptr);
  });
  EXPECT_NE(status, Out::Error) << error;
  eachSample(*output, output->frameLength(),
             [&](std::size_t, std::uint32_t, auto sample) { out.push_back(sample); });
  return status;
}

// Ends the stream and collects everything still held, `capacity` frames at a time.
void drainInto(Converter& converter, std::uint32_t capacity, std::vector<double>& out) {
  for (int calls = 0; calls < 100000; ++calls) {
    if (convertOne(converter, nullptr, capacity, out, nullptr, In::EndOfStream) ==
        Out::EndOfStream) {
      return;
    }
  }
  FAIL() << "the converter never reached the end of the stream";
}

double noise(std::size_t frame, std::uint32_t channel) {
  std::uint32_t x = static_cast<std::uint32_t>(frame * 2654435761u + channel * 40503u);
  x = (x ^ (x >> 13)) * 0x5bd1e995u;
  return (static_cast<double>((x ^ (x >> 15)) % 20001) - 10000.0) / 12000.0;
}

// 0, 1, 2, ... with the extremes of 16 bits at frames 3 and 4.
double counting(std::size_t frame, std::uint32_t) {
  return frame == 3 ? -32768 : frame == 4 ? 32767 : static_cast<double>(frame);
}

struct FormatPair {
  PcmFormat from;
  PcmFormat to;
};

void PrintTo(const FormatPair& p, std::ostream* os) {
  *os << p.from.description() << " -> " << p.to.description();
}

class ConverterPairTest : public testing::TestWithParam<FormatPair> {};

TEST_P(ConverterPairTest, ChunkedInputMatchesOneShot) {
  const auto& [from, to] = GetParam();
  const std::size_t total = 40000;
  auto value = [&](std::size_t i, std::uint32_t ch) {
    return from.sampleFormat() == SampleFormat::Int16 ? noise(i, ch) * 30000 : noise(i, ch);
  };

  auto whole = Converter::create(from, to);
  ASSERT_NE(whole, nullptr);
  std::vector<double> expected;
  convertOne(*whole, makeBuffer(from, 0, total, value), 2 * total, expected);
  drainInto(*whole, 2 * total, expected);

  auto chunked = Converter::create(from, to);
  std::vector<double> actual;
  const std::size_t sizes[] = {5, 400, 10, 300, 1, 3200};
  for (std::size_t at = 0, n = 0; at < total; at += sizes[n++ % 6]) {
    std::size_t frames = std::min(sizes[n % 6], total - at);
    auto capacity = static_cast<std::uint32_t>(frames * to.sampleRate() / from.sampleRate()) + 16;
    convertOne(*chunked, makeBuffer(from, at, frames, value), capacity, actual);
  }
  drainInto(*chunked, 7, actual);

  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < actual.size(); ++i) ASSERT_EQ(actual[i], expected[i]) << i;
  const double frames_out = static_cast<double>(actual.size()) / to.channelCount();
  EXPECT_NEAR(frames_out, total * to.sampleRate() / from.sampleRate(), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ConverterPairTest,
    testing::Values(FormatPair{kMicrophone, kDictation}, FormatPair{kDictation, kDictation},
                    FormatPair{PcmFormat(SampleFormat::Int16, 8000, 1, true),
                               PcmFormat(SampleFormat::Float32, 16000, 2, false)},
                    FormatPair{PcmFormat(SampleFormat::Float32, 44100, 2, true), kDictation}));

TEST(ConverterTest, ToneKeepsFrequencyAndLevelThroughMicrophonePath) {
  auto converter = Converter::create(kMicrophone, kDictation);
  ASSERT_NE(converter, nullptr);
  const std::size_t total = 48000;
  const double amplitude = 0.5;
  auto tone = [&](std::size_t i, std::uint32_t) {
    return amplitude * std::sin(2 * std::numbers::pi * 1000.0 * static_cast<double>(i) / 48000);
  };
  std::vector<double> out;
  for (std::size_t at = 0; at < total; at += 1024) {
    std::size_t frames = std::min<std::size_t>(1024, total - at);
    convertOne(*converter, makeBuffer(kMicrophone, at, frames, tone), 400, out);
  }
  drainInto(*converter, 400, out);
  EXPECT_NEAR(static_cast<double>(out.size()), total / 3.0, 2);

  // Away from the edges, where the filter rings in and out.
  const std::size_t begin = 1000;
  const std::size_t end = out.size() - 1000;
  int crossings = 0;
  double power = 0;
  for (std::size_t i = begin; i < end; ++i) {
    if ((out[i - 1] < 0) != (out[i] < 0)) ++crossings;
    power += out[i] * out[i];
  }
  const double seconds = static_cast<double>(end - begin) / 16000;
  EXPECT_NEAR(crossings / seconds / 2, 1000.0, 5.0);
  const double rms = std::sqrt(power / static_cast<double>(end - begin));
  const double expected_rms = amplitude / std::numbers::sqrt2 * 32768;
  EXPECT_LT(std::abs(20 * std::log10(rms / expected_rms)), 1.0) << rms;
}

TEST(ConverterTest, InputBlockIsAskedForDataOnceThenGetsNoDataNowUntilTheEnd) {
  auto converter = Converter::create(kMicrophone, kDictation);
  std::vector<double> out;
  int asks = 0;
  EXPECT_EQ(convertOne(*converter, makeBuffer(kMicrophone, 0, 4800, noise), 1616, out, &asks),
            Out::HaveData);
  EXPECT_EQ(asks, 2) << "once for the buffer, once more to learn there is nothing now";
  asks = 0;
  EXPECT_EQ(convertOne(*converter, nullptr, 1616, out, &asks), Out::InputRanDry);
  EXPECT_EQ(asks, 1);

  drainInto(*converter, 16, out);
  EXPECT_NEAR(static_cast<double>(out.size()), 1600, 1);
  asks = 0;
  EXPECT_EQ(convertOne(*converter, nullptr, 16, out, &asks), Out::EndOfStream);
  EXPECT_EQ(asks, 0) << "after the end the block is not asked again";
}

TEST(ConverterTest, HeldFramesComeFirstAndOfferedInputIsNeverLost) {
  auto converter = Converter::create(kDictation, kDictation);
  std::vector<double> out;
  int asks = 0;
  convertOne(*converter, makeBuffer(kDictation, 0, 100, counting), 7, out, &asks);
  EXPECT_EQ(asks, 1) << "an output filled by the buffer does not ask for more";
  // Offered while held frames fill the output: taken and queued behind them.
  asks = 0;
  EXPECT_EQ(convertOne(*converter, makeBuffer(kDictation, 100, 5, counting), 7, out, &asks),
            Out::HaveData);
  EXPECT_EQ(asks, 1);
  while (out.size() < 98) EXPECT_EQ(convertOne(*converter, nullptr, 7, out), Out::HaveData);
  drainInto(*converter, 7, out);
  ASSERT_EQ(out.size(), 105u);
  // At the same rate, int16 passes bit for bit.
  for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], counting(i, 0)) << i;
}

TEST(ConverterTest, FloatToInt16IsScaledRoundedAndClipped) {
  const PcmFormat mono_float(SampleFormat::Float32, 16000, 1, true);
  auto converter = Converter::create(mono_float, kDictation);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  // In sample counts: what goes in (divided by 32768 on the way) and what must come out.
  const std::vector<double> in = {100, 100.4, 100.6, -100.6, 32767, 32768, 5e4, -32768, -5e4, nan};
  const std::vector<double> want = {100, 100, 101, -101, 32767, 32767, 32767, -32768, -32768, 0};
  std::vector<double> out;
  convertOne(*converter,
             makeBuffer(mono_float, 0, in.size(),
                        [&](std::size_t i, std::uint32_t) { return in[i] / 32768; }),
             16, out);
  EXPECT_EQ(out, want);
}

TEST(ConverterTest, ChannelsAreAveragedCopiedOrMappedByPosition) {
  auto run = [](std::uint32_t from_channels, std::uint32_t to_channels) {
    PcmFormat from(SampleFormat::Int16, 16000, from_channels, false);
    PcmFormat to(SampleFormat::Int16, 16000, to_channels, true);
    auto converter = Converter::create(from, to);
    std::vector<double> out;
    // Channel c of frame i holds 1000 * (c + 1) + i.
    convertOne(*converter,
               makeBuffer(from, 0, 2,
                          [](std::size_t i, std::uint32_t c) {
                            return 1000.0 * (c + 1) + static_cast<double>(i);
                          }),
               16, out);
    return out;
  };
  EXPECT_EQ(run(3, 1), (std::vector<double>{2000, 2001}));
  EXPECT_EQ(run(1, 3), (std::vector<double>{1000, 1000, 1000, 1001, 1001, 1001}));
  EXPECT_EQ(run(3, 2), (std::vector<double>{1000, 2000, 1001, 2001}));
  EXPECT_EQ(run(2, 3), (std::vector<double>{1000, 2000, 0, 1001, 2001, 0}));
}

TEST(ConverterTest, InvalidFormatsAndMisuseAreRefusedWithWhatWentWrong) {
  const PcmFormat no_channels(SampleFormat::Int16, 16000, 0, true);
  EXPECT_EQ(Converter::create(no_channels, kDictation), nullptr);
  EXPECT_EQ(Converter::create(kMicrophone, no_channels), nullptr);

  auto converter = Converter::create(kMicrophone, kDictation);
  auto errorOf = [&](const PcmFormat& output_format, Buffer in) {
    std::string error;
    auto output = PcmBuffer::create(output_format, 64);
    EXPECT_EQ(converter->convert(*output, &error,
                                 [&](std::uint32_t, In* s) {
                                   *s = In::HaveData;
                                   return in;
                                 }),
              Out::Error);
    return error;
  };
  EXPECT_EQ(errorOf(kDictation, makeBuffer(kDictation, 0, 4, noise)),
            "converting " + kMicrophone.description() + " to " + kDictation.description() +
                ": the input buffer is " + kDictation.description());
  EXPECT_NE(errorOf(kMicrophone, nullptr).find("output buffer is " + kMicrophone.description()),
            std::string::npos);
  EXPECT_NE(errorOf(kDictation, nullptr).find("gave no buffer"), std::string::npos);
}

}  // namespace
}  // namespace audio
