#include "platform/speech/segmenter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "platform/speech/error.h"
#include "tests/support/pcm_file.h"

namespace speech {
namespace {

using Segment = Segmenter::Segment;
constexpr std::int64_t kRate = 16000;
const std::string kLibrivox =
    "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-";

// Where the clip's speech starts: its first 10 ms frame within 30 dB of its loud frames.
std::int64_t speechStart(const std::vector<std::int16_t>& clip) {
  std::vector<double> levels;
  for (std::size_t i = 0; i + 160 <= clip.size(); i += 160) {
    double sum = 0;
    for (std::size_t k = i; k < i + 160; ++k) sum += double(clip[k]) * clip[k];
    levels.push_back(10 * std::log10(sum / 160 + 1e-3));
  }
  std::vector<double> sorted = levels;
  std::sort(sorted.begin(), sorted.end());
  double loud = sorted[sorted.size() * 95 / 100];
  for (std::size_t f = 0; f < levels.size(); ++f) {
    if (levels[f] > loud - 30) return static_cast<std::int64_t>(f * 160);
  }
  return 0;
}

// Continuous noise of roughly pink colour (white noise through a leaky integrator), at `rms`.
std::vector<double> roomNoise(std::size_t n, double rms, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> white(0, 1);
  std::vector<double> out(n);
  double low = 0;
  for (auto& x : out) {
    low = 0.95 * low + 0.05 * white(random);
    x = 3 * low + 0.3 * white(random);
  }
  double sum = 0;
  for (double x : out) sum += x * x;
  double gain = rms / std::sqrt(sum / static_cast<double>(n));
  for (auto& x : out) x *= gain;
  return out;
}

std::vector<std::int16_t> mixed(const std::vector<std::int16_t>& speech,
                                const std::vector<double>& noise) {
  std::vector<std::int16_t> out(speech.size());
  for (std::size_t i = 0; i < speech.size(); ++i) {
    out[i] = static_cast<std::int16_t>(std::clamp(speech[i] + noise[i], -32768.0, 32767.0));
  }
  return out;
}

// Pushes `samples` in pieces of the given sizes, cycling, and finishes. Checks on the way that
// every segment begins no earlier than the earliest sample the segmenter said it still needed.
std::vector<Segment> segment(const std::vector<std::int16_t>& samples,
                             std::vector<std::size_t> sizes = {1600},
                             SegmenterOptions options = {}) {
  Segmenter segmenter(options);
  std::vector<Segment> all;
  std::int64_t needed = 0;
  std::size_t at = 0;
  for (std::size_t turn = 0; at < samples.size(); ++turn) {
    std::size_t n = std::min(sizes[turn % sizes.size()], samples.size() - at);
    for (const Segment& s : segmenter.push({samples.data() + at, n})) {
      EXPECT_GE(s.begin, needed);
      all.push_back(s);
    }
    if (auto open = segmenter.openSegmentBegin()) {
      EXPECT_GE(*open, needed);
    }
    std::int64_t now_needed = segmenter.earliestNeededSample();
    EXPECT_GE(now_needed, needed) << "what was let go cannot be needed again";
    needed = now_needed;
    at += n;
  }
  if (auto last = segmenter.finish()) all.push_back(*last);
  return all;
}

// Two sentences with a pause of 1.5 s between them, under continuous noise that begins 3 s before
// the first: one segment per sentence, each starting just before its speech.
struct Dictation {
  std::vector<std::int16_t> samples;
  std::vector<std::int64_t> starts;  // where each sentence's speech starts
  std::vector<std::int64_t> ends;    // where each clip ends
};

Dictation twoSentencesInNoise(double noise_rms) {
  Dictation d;
  d.samples.assign(3 * kRate, 0);
  for (const char* id : {"0870", "0930"}) {
    std::vector<std::int16_t> clip = testing_support::readPcm(kLibrivox + id + ".wav");
    d.starts.push_back(static_cast<std::int64_t>(d.samples.size()) + speechStart(clip));
    d.samples.insert(d.samples.end(), clip.begin(), clip.end());
    d.ends.push_back(static_cast<std::int64_t>(d.samples.size()));
    d.samples.insert(d.samples.end(), 3 * kRate / 2, 0);
  }
  d.samples = mixed(d.samples, roomNoise(d.samples.size(), noise_rms, 1));
  return d;
}

TEST(SegmenterTest, OneSegmentPerSentenceStartingJustBeforeItsSpeech) {
  for (double noise_rms : {0.0, 100.0, 300.0}) {  // clean, about 20 dB and 10 dB below the speech
    Dictation d = twoSentencesInNoise(noise_rms);
    std::vector<Segment> segments = segment(d.samples);
    ASSERT_EQ(segments.size(), 2u) << "noise " << noise_rms;
    for (std::size_t i = 0; i < 2; ++i) {
      // Not seconds of noise in front, and the pre-roll keeps the first phoneme: at most the
      // softest start of it, which the clean reference counts and the noise buries, is missed.
      EXPECT_GE(segments[i].begin, d.starts[i] - kRate / 2) << "noise " << noise_rms;
      EXPECT_LE(segments[i].begin, d.starts[i] + kRate / 10) << "noise " << noise_rms;
      EXPECT_GT(segments[i].end, d.ends[i] - kRate / 2) << "noise " << noise_rms;
      EXPECT_LE(segments[i].end, d.ends[i] + kRate) << "noise " << noise_rms;
    }
  }
}

TEST(SegmenterTest, ContinuousNoiseAloneGivesNoSegment) {
  std::vector<std::int16_t> silence(30 * kRate, 0);
  for (double rms : {30.0, 300.0, 3000.0}) {
    EXPECT_TRUE(segment(mixed(silence, roomNoise(silence.size(), rms, 2))).empty()) << rms;
  }
  // Digital silence and a lone click.
  silence[5 * kRate] = 30000;
  EXPECT_TRUE(segment(silence).empty());
}

TEST(SegmenterTest, AnySplitOfTheStreamGivesTheSameSegments) {
  Dictation d = twoSentencesInNoise(300.0);
  std::vector<Segment> whole = segment(d.samples, {d.samples.size()});
  ASSERT_EQ(whole.size(), 2u);
  for (const auto& sizes :
       std::vector<std::vector<std::size_t>>{{1}, {159, 161}, {160}, {7, 3333, 1, 800}, {32000}}) {
    EXPECT_EQ(segment(d.samples, sizes), whole) << "first piece " << sizes[0];
  }
}

// Unbroken "speech": a voiced buzz whose loudness wavers like syllables and never pauses, except
// for one dip 1.5 s short of the limit.
std::vector<std::int16_t> unbrokenSpeech(std::int64_t samples, std::int64_t dip_at) {
  std::vector<std::int16_t> out(samples);
  for (std::int64_t i = 0; i < samples; ++i) {
    double t = double(i) / kRate;
    double syllables = 0.6 + 0.4 * std::sin(2 * M_PI * 4 * t);
    double dip = std::abs(i - dip_at) < 160 ? 0.2 : 1.0;
    out[i] = static_cast<std::int16_t>(
        6000 * syllables * dip *
        (std::sin(2 * M_PI * 150 * t) + 0.5 * std::sin(2 * M_PI * 900 * t)));
  }
  return out;
}

TEST(SegmenterTest, UnbrokenSpeechIsCutAtItsQuietestMomentBeforeTheLimit) {
  std::vector<std::int16_t> quiet(kRate, 0);
  std::vector<std::int16_t> speech = unbrokenSpeech(65 * kRate, 18 * kRate + kRate / 2);
  quiet.insert(quiet.end(), speech.begin(), speech.end());
  std::vector<Segment> segments = segment(quiet);
  ASSERT_GE(segments.size(), 4u);
  // The first cut falls in the dip, about 19.5 s into the stream.
  std::int64_t dip = kRate + 18 * kRate + kRate / 2;
  EXPECT_NEAR(static_cast<double>(segments[0].end), static_cast<double>(dip), 320.0);
  for (std::size_t i = 0; i < segments.size(); ++i) {
    EXPECT_LE(segments[i].end - segments[i].begin, 20 * kRate) << i;
    if (i > 0) {
      EXPECT_EQ(segments[i].begin, segments[i - 1].end) << "speech goes on across a cut";
    }
  }
  EXPECT_EQ(segments.back().end, static_cast<std::int64_t>(quiet.size()));

  SegmenterOptions longest;
  longest.max_segment_ms = 30000;
  for (const Segment& s : segment(quiet, {1600}, longest)) EXPECT_LE(s.end - s.begin, 30 * kRate);
  longest.max_segment_ms = 30001;
  EXPECT_THROW(Segmenter{longest}, Error);
  SegmenterOptions tail_longer_than_pause;
  tail_longer_than_pause.tail_ms = 700;
  EXPECT_THROW(Segmenter{tail_longer_than_pause}, Error);
}

TEST(SegmenterTest, EndOfInputMidSentenceClosesTheOpenSegment) {
  std::vector<std::int16_t> clip = testing_support::readPcm(kLibrivox + "0870.wav");
  std::vector<std::int16_t> samples(kRate, 0);
  samples.insert(samples.end(), clip.begin(), clip.begin() + clip.size() / 2);
  samples.push_back(1000);  // and part of a frame

  Segmenter segmenter;
  EXPECT_TRUE(segmenter.push(samples).empty());
  std::optional<std::int64_t> open = segmenter.openSegmentBegin();
  ASSERT_TRUE(open.has_value());
  EXPECT_EQ(segmenter.earliestNeededSample(), *open);
  std::optional<Segment> last = segmenter.finish();
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->begin, *open);
  EXPECT_EQ(last->end, static_cast<std::int64_t>(samples.size()));
  EXPECT_EQ(segmenter.finish(), std::nullopt);
  EXPECT_THROW(segmenter.push(samples), Error);

  // Input that ends in silence: nothing is open and nothing is made up.
  EXPECT_EQ(Segmenter().finish(), std::nullopt);
}

}  // namespace
}  // namespace speech
