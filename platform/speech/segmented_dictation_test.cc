#include "platform/speech/segmented_dictation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/pcm_file.h"

namespace speech {
namespace {

using ::testing::ElementsAre;
using ::testing::Field;

constexpr std::size_t kRate = 16000;

std::vector<std::int16_t> recording(const std::string& name) {
  return testing_support::readPcm("/usr/share/pocketsphinx/test/data/" + name);
}

std::vector<std::int16_t> silence(double seconds) {
  return std::vector<std::int16_t>(static_cast<std::size_t>(seconds * kRate), 0);
}

std::vector<std::int16_t> joined(std::initializer_list<std::vector<std::int16_t>> parts) {
  std::vector<std::int16_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// Keeps what it was asked, and hears:
//   kCounting: one word a tenth of a second of audio, so a growing segment reads longer each time;
//   kDeaf: nothing;
//   kForgetful: as kCounting in the first second of a segment, and nothing once it is longer:
//     what the model does when the start of a segment was a cough it took for a word;
//   kSteady: the same word however long the segment grows.
class CountingEngine : public SegmentEngine {
 public:
  enum class Hearing { kCounting, kDeaf, kForgetful, kSteady };
  struct Call {
    std::size_t samples;
    std::vector<std::int32_t> earlier;
  };
  explicit CountingEngine(Hearing hearing = Hearing::kCounting) : hearing_(hearing) {}
  SegmentHypothesis transcribe(std::span<const float> samples,
                               const SegmentHypothesis& earlier) override {
    calls.push_back({samples.size(), earlier.tokens});
    if (hearing_ == Hearing::kSteady) return {{7}, "w"};
    SegmentHypothesis heard;
    if (hearing_ == Hearing::kDeaf || (hearing_ == Hearing::kForgetful && samples.size() >= kRate))
      return heard;
    for (std::size_t i = 0; i < samples.size() / (kRate / 10); ++i) {
      heard.tokens.push_back(static_cast<std::int32_t>(i));
      heard.text += heard.text.empty() ? "w" : " w";
    }
    return heard;
  }
  std::vector<Call> calls;

 private:
  Hearing hearing_;
};
using Hearing = CountingEngine::Hearing;

// Ends the input while its `end_during`th reading is under way, and gives up a reading once
// told it is moot.
class GivingUpEngine : public CountingEngine {
 public:
  std::optional<SegmentHypothesis> transcribeUnless(std::span<const float> samples,
                                                    const SegmentHypothesis& earlier,
                                                    const std::function<bool()>& moot) override {
    if (++readings == end_during) ended = true;
    if (moot()) {
      ++given_up;
      return std::nullopt;
    }
    return transcribe(samples, earlier);
  }
  int end_during = 0;
  int readings = 0;
  int given_up = 0;
  bool ended = false;
};

struct Dictated {
  std::vector<SpeechTranscriberResult> results;
  std::vector<CountingEngine::Call> calls;
};

// Feeds `audio` in pieces of `piece` samples, as a reader does, to `engine` (a counting one when
// none is given).
Dictated dictate(const std::vector<std::int16_t>& audio, std::size_t piece,
                 bool more_waiting = false, bool volatile_results = true,
                 CountingEngine* engine = nullptr) {
  CountingEngine counting;
  if (!engine) engine = &counting;
  Dictated run;
  // Joins segments with a space and writes the engine's words as they are.
  auto writer = [](std::string_view text, bool, std::string_view before) {
    return text::Formatted{before.empty() ? "" : " ", std::string(text)};
  };
  SegmentedDictation dictation(*engine, {}, volatile_results, writer,
                               [&](SpeechTranscriberResult r) { run.results.push_back(r); });
  for (std::size_t at = 0; at < audio.size(); at += piece) {
    std::size_t n = std::min(piece, audio.size() - at);
    dictation.feed({audio.data() + at, n}, more_waiting);
  }
  dictation.finish();
  run.calls = engine->calls;
  return run;
}

std::vector<SpeechTranscriberResult> finals(const Dictated& run) {
  std::vector<SpeechTranscriberResult> out;
  for (const auto& r : run.results) {
    if (r.isFinal) out.push_back(r);
  }
  return out;
}

TEST(SegmentedDictationTest, EachPhraseIsReadWhileItGrowsThenCommittedInOrder) {
  auto audio = joined(
      {silence(1), recording("goforward.raw"), silence(2), recording("something.raw"), silence(1)});
  Dictated run = dictate(audio, 1600);

  ASSERT_EQ(finals(run).size(), 2u);
  // Volatile results of the first phrase, its final one, then the second phrase's, whose texts
  // begin with the space that parts it from the committed text.
  std::size_t first_final = 0;
  while (!run.results[first_final].isFinal) ++first_final;
  EXPECT_GE(first_final, 2u);
  for (std::size_t i = 0; i < first_final; ++i) EXPECT_NE(run.results[i].text.front(), ' ');
  for (std::size_t i = first_final + 1; i < run.results.size(); ++i) {
    EXPECT_EQ(run.results[i].text.front(), ' ') << i;
  }
  EXPECT_TRUE(run.results.back().isFinal);
  EXPECT_GT(run.results.size(), first_final + 2);

  // Each reading builds on the last of its segment; one with nothing to build on begins the next.
  ASSERT_GE(run.calls.size(), 4u);
  EXPECT_TRUE(run.calls.front().earlier.empty());
  std::size_t segments = 1;
  for (std::size_t i = 1; i < run.calls.size(); ++i) {
    if (run.calls[i].earlier.empty()) {
      ++segments;
      continue;
    }
    // The last reading of a segment covers it to the end of its speech, which may come before
    // the end of the input its volatile readings had; they grow.
    bool last = i + 1 == run.calls.size() || run.calls[i + 1].earlier.empty();
    if (!last) {
      EXPECT_GT(run.calls[i].samples, run.calls[i - 1].samples) << i;
    }
    // What the previous reading heard: one token a tenth of a second.
    EXPECT_EQ(run.calls[i].earlier.size(), run.calls[i - 1].samples / (kRate / 10)) << i;
  }
  EXPECT_EQ(segments, finals(run).size());
}

TEST(SegmentedDictationTest, AnySplitOfTheInputGivesTheSameCommittedText) {
  auto audio =
      joined({silence(0.5), recording("goforward.raw"), silence(1.5), recording("something.raw")});
  std::vector<SpeechTranscriberResult> expected = finals(dictate(audio, 1600));
  for (std::size_t piece : {1u, 333u, 3200u, 48000u}) {
    std::vector<SpeechTranscriberResult> got = finals(dictate(audio, piece));
    ASSERT_EQ(got.size(), expected.size()) << piece;
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].text, expected[i].text);
  }
}

TEST(SegmentedDictationTest, InputAheadOfTheEngineSkipsVolatileReadingsButNoFinalOne) {
  auto audio =
      joined({silence(1), recording("goforward.raw"), silence(2), recording("something.raw")});
  Dictated caught_up = dictate(audio, 1600);
  Dictated ahead = dictate(audio, 1600, /*more_waiting=*/true);
  EXPECT_THAT(ahead.results, ::testing::Each(Field(&SpeechTranscriberResult::isFinal, true)));
  ASSERT_EQ(finals(ahead).size(), finals(caught_up).size());
  for (std::size_t i = 0; i < finals(ahead).size(); ++i) {
    EXPECT_EQ(finals(ahead)[i].text, finals(caught_up)[i].text);
  }
}

// Readings in which the text stands still come further apart, and pick up again once it moves.
TEST(SegmentedDictationTest, ReadingsThinOutWhileTheTextStandsStill) {
  auto audio = joined({silence(1), recording("goforward.raw"), silence(2)});
  Dictated moving = dictate(audio, 320);
  CountingEngine steady_engine(Hearing::kSteady);
  Dictated steady = dictate(audio, 320, false, true, &steady_engine);
  ASSERT_EQ(finals(steady).size(), 1u);
  EXPECT_EQ(finals(steady)[0].text, "w");
  // The first readings come as often either way: the first words show as soon.
  ASSERT_GE(steady.calls.size(), 3u);
  EXPECT_EQ(steady.calls[0].samples, moving.calls[0].samples);
  EXPECT_EQ(steady.calls[1].samples, moving.calls[1].samples);
  EXPECT_LT(steady.calls.size() * 3, moving.calls.size() * 2)
      << steady.calls.size() << " against " << moving.calls.size();
}

// A reading costs what the audio it encodes does. Readings of a long segment come less often as
// it grows, so that together they encode a few times its length, not ten; the first ones still
// come every tenth of a second, so the first words show as soon.
TEST(SegmentedDictationTest, ReadingsOfLongSegmentsEncodeAFewTimesTheirLength) {
  std::vector<std::int16_t> audio;  // read aloud without a pause: 7 s, then 17.5 s
  for (const char* clip : {"0870", "0880", "0890", "0920", "0930"}) {
    auto part =
        recording(std::string("librivox/sense_and_sensibility_01_austen_64kb-") + clip + ".wav");
    audio.insert(audio.end(), part.begin(), part.end());
  }
  Dictated run = dictate(audio, 320);
  ASSERT_EQ(finals(run).size(), 2u);
  std::size_t encoded = 0;
  for (const CountingEngine::Call& call : run.calls) encoded += call.samples;
  EXPECT_LT(encoded, 6 * audio.size()) << encoded / kRate << " s of audio read";
  ASSERT_GE(run.calls.size(), 5u);
  for (std::size_t i = 1; i < 5; ++i)
    EXPECT_EQ(run.calls[i].samples - run.calls[i - 1].samples, kRate / 10) << i;
}

// Once the input has ended (a reader with audio still queued), the reading under way is given up
// and no other begins: the final reading comes next and builds on the last one made before.
TEST(SegmentedDictationTest, VolatileReadingsAreGivenUpOnceTheInputHasEnded) {
  // Speech to the very end: the segment is open until finish().
  auto audio =
      joined({silence(1), recording("librivox/sense_and_sensibility_01_austen_64kb-0870.wav")});
  GivingUpEngine engine;
  engine.end_during = 10;
  std::vector<SpeechTranscriberResult> results;
  auto writer = [](std::string_view text, bool, std::string_view) {
    return text::Formatted{"", std::string(text)};
  };
  SegmentedDictation dictation(
      engine, {}, true, writer, [&](SpeechTranscriberResult r) { results.push_back(r); },
      [&] { return engine.ended; });
  for (std::size_t at = 0; at < audio.size(); at += 320)
    dictation.feed({audio.data() + at, std::min<std::size_t>(320, audio.size() - at)}, false);
  ASSERT_TRUE(engine.ended);
  std::size_t shown = results.size();
  dictation.finish();

  EXPECT_EQ(engine.readings, 10);
  EXPECT_EQ(engine.given_up, 1);
  ASSERT_EQ(engine.calls.size(), 10u);  // nine readings made, and the final one
  ASSERT_EQ(results.size(), shown + 1);
  EXPECT_TRUE(results.back().isFinal);
  EXPECT_EQ(results.back().text, finals(dictate(audio, 320))[0].text);
  EXPECT_GT(engine.calls.back().samples, engine.calls[8].samples);
  EXPECT_EQ(engine.calls.back().earlier.size(), engine.calls[8].samples / (kRate / 10));
}

TEST(SegmentedDictationTest, SilenceAndPhrasesHeardAsNothingGiveNoResult) {
  EXPECT_TRUE(dictate(silence(5), 1600).results.empty());
  EXPECT_TRUE(dictate({}, 1600).results.empty());
  auto audio = joined({silence(1), recording("goforward.raw"), silence(2)});
  CountingEngine deaf(Hearing::kDeaf);
  EXPECT_TRUE(dictate(audio, 1600, false, true, &deaf).results.empty());
}

TEST(SegmentedDictationTest, ASegmentHeardAsNothingInTheEndTakesBackItsVolatileText) {
  auto audio = joined({silence(1), recording("goforward.raw"), silence(2)});
  CountingEngine engine(Hearing::kForgetful);
  std::vector<SpeechTranscriberResult> results = dictate(audio, 1600, false, true, &engine).results;
  ASSERT_GE(results.size(), 2u);
  EXPECT_FALSE(results.front().isFinal);
  EXPECT_FALSE(results.front().text.empty());
  // An empty final result: the line falls back to the committed text, which is unchanged.
  EXPECT_TRUE(results.back().isFinal);
  EXPECT_EQ(results.back().text, "");
}

TEST(SegmentedDictationTest, WithoutVolatileResultsOnlyTheFinalReadingIsMade) {
  auto audio = joined({silence(1), recording("goforward.raw"), silence(2)});
  Dictated run = dictate(audio, 1600, false, /*volatile_results=*/false);
  EXPECT_EQ(run.calls.size(), 1u);
  EXPECT_THAT(run.results, ElementsAre(Field(&SpeechTranscriberResult::isFinal, true)));
}

}  // namespace
}  // namespace speech
