#include "dictate/reader.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/thread_state.h"

namespace dictate {
namespace {

using audio::PcmFormat;
using audio::SampleFormat;

const PcmFormat kInt16At16k(SampleFormat::Int16, 16000.0, 1, true);

// Reads that hand out `bytes` in pieces of the given sizes, cycling through them, then the end
// (or an error, when `fail_at_end`).
ReadFn scriptedReads(std::string bytes, std::vector<std::size_t> sizes, bool fail_at_end = false) {
  auto state = std::make_shared<std::pair<std::size_t, std::size_t>>(0, 0);  // offset, turn
  return [bytes = std::move(bytes), sizes = std::move(sizes), fail_at_end, state](
             void* data, std::size_t size) -> ssize_t {
    auto& [offset, turn] = *state;
    if (offset == bytes.size()) return fail_at_end ? -1 : 0;
    std::size_t n = std::min({sizes[turn++ % sizes.size()], size, bytes.size() - offset});
    std::memcpy(data, bytes.data() + offset, n);
    offset += n;
    return static_cast<ssize_t>(n);
  };
}

struct Delivered {
  std::vector<int16_t> samples;
  std::vector<std::uint32_t> lengths;  // frames per analyzer input
};

// Runs the reader to the end of `read` and collects everything it yielded.
Delivered runReader(const PcmFormat& model, const ReadFn& read) {
  auto [sound, feed] = runtime::makeStream<speech::AnalyzerInput>();
  std::shared_ptr<audio::Converter> converter = audio::Converter::create(inputFormat(), model);
  EXPECT_NE(converter, nullptr);
  readAudio(model, converter, read, feed);
  Delivered d;
  while (std::optional<speech::AnalyzerInput> in = sound.waitNext()) {
    const int16_t* s = in->buffer->int16ChannelData()[0];
    d.samples.insert(d.samples.end(), s, s + in->buffer->frameLength());
    d.lengths.push_back(in->buffer->frameLength());
  }
  return d;
}

std::string speechLikeBytes(std::size_t samples) {
  std::string bytes(samples * 2, '\0');
  std::mt19937 random(7);
  for (std::size_t i = 0; i < samples; ++i) {
    auto v = static_cast<int16_t>(8000 * std::sin(i * 0.05) + (random() % 2000) - 1000);
    std::memcpy(&bytes[2 * i], &v, 2);
  }
  return bytes;
}

TEST(ReaderTest, EverySplitOfTheStreamGivesTheSameSamples) {
  std::string bytes = speechLikeBytes(20000) + "x";  // and a trailing odd byte
  Delivered whole = runReader(kInt16At16k, scriptedReads(bytes, {kReadBytes}));
  ASSERT_EQ(whole.samples.size(), 20000u);
  EXPECT_EQ(std::memcmp(whole.samples.data(), bytes.data(), 40000), 0);

  const std::vector<std::vector<std::size_t>> splits = {
      {1}, {2}, {3}, {5, 400, 10, 300}, {6400, 1}, {4001, 3, 6399, 2}, {7, 13, 6400, 999}};
  for (const auto& sizes : splits) {
    Delivered split = runReader(kInt16At16k, scriptedReads(bytes, sizes));
    EXPECT_EQ(split.samples, whole.samples) << "first read size " << sizes[0];
  }
}

// Empty input and a lone byte among the cuts: nothing is yielded, and the input ends.
TEST(ReaderTest, CutAtEveryByteBoundaryDeliversEveryWholeSample) {
  std::string bytes = speechLikeBytes(40);
  for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
    Delivered d = runReader(kInt16At16k, scriptedReads(bytes.substr(0, cut), {3, 1, 6400}));
    ASSERT_EQ(d.samples.size(), cut / 2) << "cut at " << cut;
    std::vector<int16_t> expected(cut / 2);
    if (!expected.empty()) std::memcpy(expected.data(), bytes.data(), expected.size() * 2);
    EXPECT_EQ(d.samples, expected) << "cut at " << cut;
  }
}

TEST(ReaderTest, SamplesAreLittleEndianAndCarryOddBytes) {
  // Three bytes then one: one sample from bytes 0-1, then one from the carried byte 2 and byte 3.
  Delivered d = runReader(kInt16At16k, scriptedReads(std::string("\x34\x12\xff\xff", 4), {3, 1}));
  EXPECT_EQ(d.samples, (std::vector<int16_t>{0x1234, -1}));
  EXPECT_EQ(d.lengths, (std::vector<std::uint32_t>{1, 1}));
  // A full read is one input of its full length.
  d = runReader(kInt16At16k, scriptedReads(speechLikeBytes(3200), {kReadBytes}));
  EXPECT_EQ(d.lengths, (std::vector<std::uint32_t>{3200}));
}

TEST(ReaderTest, ResampledStreamIsDrainedAtTheEnd) {
  // Into an 8 kHz model the output is half as long; the drain delivers the resampler's tail so
  // nothing at the end is lost, whatever the split.
  const PcmFormat eight(SampleFormat::Int16, 8000.0, 1, true);
  std::string bytes = speechLikeBytes(16000);
  for (const auto& sizes : std::vector<std::vector<std::size_t>>{{kReadBytes}, {5, 401, 7}}) {
    Delivered d = runReader(eight, scriptedReads(bytes, sizes));
    EXPECT_NEAR(static_cast<double>(d.samples.size()), 8000.0, 2.0);
  }
}

// A slow analyzer and a fast pipe: the reader may get no further ahead than the backlog, the
// input in hand and the value being taken, and delivers what an unbounded stream would, through
// the end of input or a read error.
TEST(ReaderTest, ReaderFarAheadWaitsAndDeliversTheSameAudio) {
  std::string bytes = speechLikeBytes(16000 * 30);
  Delivered unbounded = runReader(kInt16At16k, scriptedReads(bytes, {kReadBytes}));
  const std::size_t kInputFrames = kReadBytes / 2;
  const auto most_ahead = static_cast<std::size_t>(kBacklogSeconds * 16000) + 2 * kInputFrames;
  for (bool fail_at_end : {false, true}) {
    runtime::Stream<speech::AnalyzerInput> sound;
    runtime::Continuation<speech::AnalyzerInput> feed;
    std::tie(sound, feed) = makeSound(kInt16At16k);
    std::shared_ptr<audio::Converter> converter =
        audio::Converter::create(inputFormat(), kInt16At16k);
    std::atomic<std::size_t> read_frames{0};
    ReadFn counted = [inner = scriptedReads(bytes, {kReadBytes}, fail_at_end), &read_frames](
                         void* data, std::size_t size) {
      ssize_t n = inner(data, size);
      if (n > 0) read_frames += static_cast<std::size_t>(n) / 2;
      return n;
    };
    std::thread reader([&] { readAudio(kInt16At16k, converter, counted, feed); });
    Delivered d;
    std::size_t ahead = 0;
    while (std::optional<speech::AnalyzerInput> in = sound.waitNext()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // the reader runs on meanwhile
      ahead = std::max(ahead, read_frames.load() - d.samples.size());
      const int16_t* s = in->buffer->int16ChannelData()[0];
      d.samples.insert(d.samples.end(), s, s + in->buffer->frameLength());
    }
    reader.join();
    EXPECT_LE(ahead, most_ahead) << "fail_at_end " << fail_at_end;
    EXPECT_EQ(d.samples, unbounded.samples) << "fail_at_end " << fail_at_end;
  }
}

TEST(ReaderTest, ReadInterruptedBySignalIsRetried) {
  auto child = testing_support::runInChild([] {
    static std::atomic<int> handled{0};
    struct sigaction action = {};
    action.sa_handler = [](int) { ++handled; };
    sigaction(SIGUSR1, &action, nullptr);  // no SA_RESTART: read() fails with EINTR
    int fds[2];
    if (pipe(fds) != 0) _exit(2);
    dup2(fds[0], STDIN_FILENO);
    pthread_t reader = pthread_self();
    pid_t reader_id = testing_support::currentThreadId();
    std::thread writer([&] {
      // A signal before the read has begun would interrupt nothing.
      if (!testing_support::waitUntilBlockedIn(reader_id, SYS_read)) _exit(5);
      pthread_kill(reader, SIGUSR1);
      while (handled == 0) usleep(1000);
      // Only a read begun again after the interrupted one ever sees the bytes.
      if (!testing_support::waitUntilBlockedIn(reader_id, SYS_read)) _exit(6);
      if (write(fds[1], "ab", 2) != 2) _exit(3);
    });
    char buffer[8];
    ssize_t n = readStandardInput(buffer, sizeof buffer);
    writer.join();
    _exit(n == 2 ? 0 : 4);
  });
  EXPECT_EQ(child.status, 0);
}

}  // namespace
}  // namespace dictate
