#include "platform/speech/phrase_spotter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "platform/speech/error.h"

namespace speech {
namespace {

constexpr int kRate = 16000;

// A scripted engine: it records the length of every window it hears, and scores phrase 0 by
// how much of the window is loud (a stand-in for "the phrase is said"), phrase 1 never.
class LoudnessEngine : public PhraseEngine {
 public:
  PhraseHearing hear(std::span<const float> samples, const PhraseHearing& earlier) override {
    windows.push_back(samples.size());
    earlier_sizes.push_back(earlier.tokens.size());
    std::size_t loud = 0;
    for (float x : samples) loud += std::fabs(x) > 0.1f;
    PhraseHearing heard;
    heard.tokens.assign(windows.size(), 7);
    heard.text = "window " + std::to_string(windows.size());
    heard.scores = {static_cast<float>(loud) / kRate, -100.0f};
    return heard;
  }
  std::vector<std::size_t> windows;
  std::vector<std::size_t> earlier_sizes;
};

std::vector<std::int16_t> silence(double seconds) {
  return std::vector<std::int16_t>(static_cast<std::size_t>(seconds * kRate), 0);
}

// Syllables of a loud tone, 0.2 s each with 0.1 s gaps, which the segmenter takes for speech: the
// gaps keep its noise floor down, as the gaps between words do.
std::vector<std::int16_t> tone(double seconds) {
  std::vector<std::int16_t> out(static_cast<std::size_t>(seconds * kRate));
  for (std::size_t i = 0; i < out.size(); ++i) {
    double t = static_cast<double>(i) / kRate;
    if (std::fmod(t, 0.3) >= 0.2) continue;
    out[i] = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * 440 * t));
  }
  return out;
}

std::vector<PhraseSpotter::Heard> feed(PhraseSpotter& spotter,
                                       const std::vector<std::int16_t>& audio) {
  std::vector<PhraseSpotter::Heard> all;
  // Pieces of 1024 frames at 48 kHz, as the microphone delivers them once converted.
  for (std::size_t at = 0; at < audio.size(); at += 341) {
    std::size_t n = std::min<std::size_t>(341, audio.size() - at);
    for (auto& heard : spotter.push({audio.data() + at, n})) all.push_back(std::move(heard));
  }
  return all;
}

std::vector<std::int16_t> join(std::initializer_list<std::vector<std::int16_t>> parts) {
  std::vector<std::int16_t> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

TEST(PhraseSpotterTest, SpeechIsHeardFromItsOnsetAsItGrowsAndOnceMoreWhenItEnds) {
  LoudnessEngine engine;
  PhraseSpotterOptions options;
  PhraseSpotter spotter(engine, {100.0f, 100.0f}, options);
  {
    LoudnessEngine quiet;
    PhraseSpotter silent(quiet, {100.0f, 100.0f});
    EXPECT_TRUE(feed(silent, silence(10)).empty());  // silence is never heard
    EXPECT_TRUE(quiet.windows.empty());
  }
  auto heard = feed(spotter, join({silence(2), tone(1.5), silence(1.5)}));
  ASSERT_GE(heard.size(), 3u);
  // Every window begins at the onset (less the segmenter's margin), grows, and builds on the
  // hearing before it.
  for (std::size_t i = 0; i < heard.size(); ++i) {
    EXPECT_NEAR(static_cast<double>(heard[i].window_begin) / kRate, 2.0 - 0.25, 0.05);
    if (i > 0) {
      EXPECT_GT(heard[i].window_end, heard[i - 1].window_end);
      EXPECT_EQ(engine.earlier_sizes[i], i);
    }
  }
  // The last hearing is the closed segment: the tone and its tail, no more.
  EXPECT_NEAR(static_cast<double>(heard.back().window_end) / kRate, 3.5 + 0.2, 0.1);
  EXPECT_TRUE(heard.back().spotted.empty());
}

TEST(PhraseSpotterTest, ASpottedPhraseIsNotSpottedAgainInTheSameSpeech) {
  LoudnessEngine engine;
  // Phrase 0 holds once half a second of the window is loud; phrase 1 never does.
  PhraseSpotter spotter(engine, {0.5f, 100.0f});
  auto heard = feed(spotter, join({silence(2), tone(1.0), silence(1.5)}));
  int spottings = 0;
  for (const auto& h : heard) {
    if (h.spotted.empty()) continue;
    ++spottings;
    ASSERT_EQ(h.spotted.size(), 1u);
    EXPECT_EQ(h.spotted.front().phrase, 0u);
    EXPECT_GE(h.spotted.front().score, 0.5f);
  }
  EXPECT_EQ(spottings, 1);
  // After the spotting the window starts again where it ended: no window reaches back.
  std::int64_t spotted_at = 0;
  for (const auto& h : heard) {
    if (spotted_at) {
      EXPECT_GE(h.window_begin, spotted_at);
    }
    if (!h.spotted.empty()) spotted_at = h.window_end;
  }
}

// Scores phrase 0 from a script, one score per hearing, and -100 once the script runs out.
class ScriptedEngine : public PhraseEngine {
 public:
  explicit ScriptedEngine(std::vector<float> script) : script_(std::move(script)) {}
  PhraseHearing hear(std::span<const float>, const PhraseHearing&) override {
    PhraseHearing heard;
    heard.scores = {next_ < script_.size() ? script_[next_++] : -100.0f};
    return heard;
  }

 private:
  std::vector<float> script_;
  std::size_t next_ = 0;
};

TEST(PhraseSpotterTest, APhraseCountsOnceItStillHoldsWithMoreAudioOrTheSpeechPauses) {
  struct Case {
    const char* what;
    std::vector<float> script;
    double speech_seconds;
    int spottings;
  };
  const Case cases[] = {
      // "Vorlin" at the end of the audio so far, then "...gton": the start of a longer word.
      {"held once, mid-speech", {-1, -50, -50, -50, -50, -50, -50, -50}, 3.0, 0},
      {"held twice in a row", {-50, -1, -2, -50}, 3.0, 1},
      {"held twice, apart", {-1, -50, -1, -50, -50, -50, -50, -50}, 3.0, 0},
      // Speech short enough that its first hearing is the one after the pause.
      {"held in the last hearing", {-1}, 0.3, 1},
  };
  for (const Case& c : cases) {
    ScriptedEngine engine(c.script);
    PhraseSpotter spotter(engine, {-5.0f});
    int spottings = 0;
    for (const auto& heard :
         feed(spotter, join({silence(2), tone(c.speech_seconds), silence(1.5)})))
      spottings += !heard.spotted.empty();
    EXPECT_EQ(spottings, c.spottings) << c.what;
  }
}

TEST(PhraseSpotterTest, LongSpeechIsHeardInOverlappingWindowsOfBoundedLength) {
  LoudnessEngine engine;
  PhraseSpotterOptions options;
  PhraseSpotter spotter(engine, {100.0f, 100.0f}, options);
  feed(spotter, join({silence(2), tone(12), silence(1)}));
  ASSERT_FALSE(engine.windows.empty());
  std::size_t longest = *std::max_element(engine.windows.begin(), engine.windows.end());
  EXPECT_LE(longest, static_cast<std::size_t>((options.max_window_ms + options.check_interval_ms) *
                                              kRate / 1000));
  // Heard about every check interval all through the speech, not once.
  EXPECT_GE(engine.windows.size(), 12u * 1000 / options.check_interval_ms - 5);
}

TEST(PhraseSpotterTest, RejectsOptionsThatCannotWork) {
  LoudnessEngine engine;
  PhraseSpotterOptions options;
  options.check_interval_ms = 0;
  EXPECT_THROW(PhraseSpotter(engine, {}, options), Error);
  options = {};
  options.segmenter.pause_ms = -1;
  EXPECT_THROW(PhraseSpotter(engine, {}, options), Error);
}

}  // namespace
}  // namespace speech
