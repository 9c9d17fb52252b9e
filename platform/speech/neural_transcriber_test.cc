#include "platform/speech/neural_transcriber.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/run_loop.h"
#include "platform/runtime/stream.h"
#include "platform/runtime/task.h"
#include "platform/speech/sample_rate.h"
#include "tests/support/pcm_file.h"

namespace speech {
namespace {

const audio::PcmFormat kFormat(audio::SampleFormat::Int16, kSampleRateHz, 1, true);

// Hears a word in any audio; with `fail_at`, its reading of that number fails.
class OneWordEngine : public SegmentEngine {
 public:
  explicit OneWordEngine(int fail_at) : fail_at_(fail_at) {}
  SegmentHypothesis transcribe(std::span<const float>, const SegmentHypothesis&) override {
    if (++readings_ == fail_at_) throw Error("the engine broke");
    return {{1}, "w"};
  }

 private:
  int fail_at_;
  int readings_ = 0;
};

// A service on that engine, from model files it never opens; `load_fails` fails the loading.
std::unique_ptr<NeuralSpeechService> serviceOf(bool load_fails, int fail_at) {
  return std::make_unique<NeuralSpeechService>(
      [](const Locale&) { return moonshine::NeuralModelFiles::inDirectory("/nowhere"); },
      [load_fails, fail_at](const moonshine::NeuralModelFiles&) -> std::unique_ptr<SegmentEngine> {
        if (load_fails) throw Error("the model broke");
        return std::make_unique<OneWordEngine>(fail_at);
      },
      [](std::string_view text, bool, std::string_view before) {
        return text::Formatted{before.empty() ? "" : " ", std::string(text)};
      });
}

// A phrase, then silence enough to close it, `times` over.
std::vector<std::int16_t> phrases(int times) {
  std::vector<std::int16_t> phrase =
      testing_support::readPcm("/usr/share/pocketsphinx/test/data/goforward.raw");
  phrase.resize(phrase.size() + kSampleRateHz, 0);
  std::vector<std::int16_t> all;
  for (int i = 0; i < times; ++i) all.insert(all.end(), phrase.begin(), phrase.end());
  return all;
}

struct Outcome {
  std::vector<SpeechTranscriberResult> results;
  std::string start_error, finish_error, results_error;
  bool reader_ended = false;
};

// The message of the error `work` ends with; empty when it ends well.
runtime::Task<std::string> errorOf(runtime::Task<> work) {
  try {
    co_await work;
  } catch (const std::exception& e) {
    co_return e.what();
  }
  co_return "";
}

runtime::Task<> collect(runtime::Stream<SpeechTranscriberResult> results, Outcome& out) {
  while (std::optional<SpeechTranscriberResult> result = co_await results.next()) {
    out.results.push_back(*result);
  }
}

// What the dictation program does with an analyzer, ending with the analyzer destroyed.
runtime::Task<> dictate(SpeechService& service, runtime::Stream<AnalyzerInput> input, Outcome& out,
                        runtime::RunLoop& loop) {
  std::shared_ptr<SpeechTranscriber> transcriber =
      service.makeTranscriber(Locale{"en-US"}, {}, {ReportingOption::volatileResults}, {});
  const Modules modules = {transcriber};
  std::unique_ptr<SpeechAnalyzer> analyzer = service.makeAnalyzer(modules);
  runtime::Task<> results = collect(transcriber->results(), out);
  out.start_error = co_await errorOf(analyzer->start(input));
  if (out.start_error.empty()) {
    out.finish_error = co_await errorOf(analyzer->finalizeAndFinishThroughEndOfInput());
  }
  out.results_error = co_await errorOf(std::move(results));
  analyzer.reset();
  loop.stop();
}

// Dictates `audio` through `service` on a loop of the test's own. A thread of its own yields the
// audio in 20 ms buffers into a stream that holds a tenth of a second, as the program's reader
// does; whether it got to the end within ten seconds is part of the outcome.
Outcome dictateThrough(SpeechService& service, std::vector<std::int16_t> audio) {
  auto [input, feed] = runtime::makeStream<AnalyzerInput>(
      {kSampleRateHz / 10, [](const AnalyzerInput& in) { return in.buffer->frameLength(); }});
  auto ended = std::make_shared<std::atomic<bool>>(false);
  // Detached, and owning what it uses: a reader nobody releases must not hang the test.
  std::thread([feed = feed, audio = std::move(audio), ended] {
    constexpr std::size_t kPiece = kSampleRateHz / 50;
    for (std::size_t at = 0; at < audio.size(); at += kPiece) {
      auto n = static_cast<std::uint32_t>(std::min(kPiece, audio.size() - at));
      auto buffer = audio::PcmBuffer::create(kFormat, n);
      buffer->setFrameLength(n);
      std::memcpy(buffer->int16ChannelData()[0], audio.data() + at, n * sizeof(std::int16_t));
      feed.yield(AnalyzerInput(std::move(buffer)));
    }
    feed.finish();
    *ended = true;
  }).detach();

  Outcome out;
  runtime::RunLoop loop;
  runtime::Task<> task;
  loop.post([&, input = input] { task = dictate(service, input, out, loop); });
  loop.run();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!*ended && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  out.reader_ended = *ended;
  return out;
}

TEST(NeuralAnalyzerTest, DeliversEveryResultThenJoinsItsThread) {
  std::unique_ptr<NeuralSpeechService> service = serviceOf(false, -1);
  Outcome out = dictateThrough(*service, phrases(3));
  EXPECT_EQ(out.start_error + out.finish_error + out.results_error, "");
  EXPECT_TRUE(out.reader_ended);
  std::string committed;
  for (const SpeechTranscriberResult& r : out.results) {
    if (r.isFinal) committed += r.text;
  }
  EXPECT_EQ(committed, "w w w");
  ASSERT_FALSE(out.results.empty());
  EXPECT_TRUE(out.results.back().isFinal);
}

// A failure stops recognition with its error, and the input is still read to its end, so that
// its producer, waiting for room, is not left waiting forever.
TEST(NeuralAnalyzerTest, AFailureEndsEverythingWithItsErrorAndDrainsTheInput) {
  struct Case {
    const char* what;
    bool load_fails;
    int fail_at;
    const char* start_error;
    const char* finish_error;
  };
  const Case cases[] = {
      {"loading", true, -1, "the model broke", ""},
      {"the first reading", false, 1, "", "the engine broke"},
      {"a later reading", false, 4, "", "the engine broke"},
  };
  for (const Case& c : cases) {
    std::unique_ptr<NeuralSpeechService> service = serviceOf(c.load_fails, c.fail_at);
    Outcome out = dictateThrough(*service, phrases(6));
    EXPECT_EQ(out.start_error, c.start_error) << c.what;
    EXPECT_EQ(out.finish_error, c.finish_error) << c.what;
    EXPECT_EQ(out.results_error, c.load_fails ? "the model broke" : "the engine broke") << c.what;
    EXPECT_TRUE(out.reader_ended) << c.what;
  }
}

}  // namespace
}  // namespace speech
