#include "platform/speech/segmented_dictation.h"

#include <algorithm>
#include <utility>

#include "platform/speech/sample_rate.h"

namespace speech {
namespace {

constexpr std::int64_t kSamplesPerSecond = kSampleRateHz;
// The open segment is first read once it holds this much audio (its onset margin included)...
constexpr std::int64_t kFirstReadingSamples = kSamplesPerSecond * 4 / 10;
// ...then every tenth of a second, and every eighth of its length once it is longer than 0.8 s:
// the model hears its first word after 0.4 to 0.5 s of speech, so the first words show within
// 0.6 s of the start of speech...
constexpr std::int64_t kReadingIntervalSamples = kSamplesPerSecond / 10;
constexpr std::int64_t kReadingIntervalFraction = 8;
// ...and every third of its length once it is longer than this. Every reading encodes the whole
// segment again, so its cost grows with the length, as the interval does: the fraction sets what
// real-time dictation costs. An eighth took twice the CPU of a third, a quarter 1.2 times, and
// each new word of a long segment matters less.
constexpr std::int64_t kFirstWordsSamples = kSamplesPerSecond * 12 / 10;
constexpr std::int64_t kLaterIntervalFraction = 3;
// While the readings of a segment keep giving the same text (a pause inside it, a long word),
// each unchanged one waits longer for the next: up to this many intervals.
constexpr int kMostStableIntervals = 4;

}  // namespace

SegmentedDictation::SegmentedDictation(SegmentEngine& engine, SegmenterOptions segmenter,
                                       bool volatile_results, DictationWriter writer, Report report,
                                       std::function<bool()> input_ended)
    : engine_(engine),
      segmenter_(segmenter),
      volatile_results_(volatile_results),
      writer_(std::move(writer)),
      report_(std::move(report)),
      input_ended_(std::move(input_ended)) {}

void SegmentedDictation::feed(std::span<const std::int16_t> input, bool more_waiting) {
  audio_.append(input);
  for (const Segmenter::Segment& segment : segmenter_.push(input)) commit(segment);

  std::optional<std::int64_t> open = segmenter_.openSegmentBegin();
  if (open && *open != open_begin_) {
    open_begin_ = *open;
    next_reading_ = open_begin_ + kFirstReadingSamples;
    stable_readings_ = 0;
  }
  if (open && volatile_results_ && !more_waiting && audio_.end() >= next_reading_ &&
      !(input_ended_ && input_ended_())) {
    readOpenSegment(*open);
  }
  audio_.dropBefore(std::min(segmenter_.earliestNeededSample(), open.value_or(audio_.end())));
}

void SegmentedDictation::finish() {
  if (std::optional<Segmenter::Segment> last = segmenter_.finish()) commit(*last);
}

void SegmentedDictation::commit(const Segmenter::Segment& segment) {
  SegmentHypothesis heard = engine_.transcribe(audio_.floats(segment.begin, segment.end), reading_);
  bool shown = !shown_.empty();
  reading_ = {};
  stable_readings_ = 0;
  shown_.clear();
  open_begin_ = -1;
  std::string text = heard.text.empty() ? std::string() : written(heard.text, true);
  if (text.empty() && !shown) return;
  done_ += text;
  report_({std::move(text), true});
}

void SegmentedDictation::readOpenSegment(std::int64_t begin) {
  std::span<const float> samples = audio_.floats(begin, audio_.end());
  // An empty input_ended_ never makes the reading moot.
  std::optional<SegmentHypothesis> read = engine_.transcribeUnless(samples, reading_, input_ended_);
  if (!read) return;
  SegmentHypothesis& heard = *read;
  bool unchanged = !reading_.tokens.empty() && heard.tokens == reading_.tokens;
  stable_readings_ = unchanged ? std::min(stable_readings_ + 1, kMostStableIntervals - 1) : 0;
  reading_ = std::move(heard);
  std::int64_t length = audio_.end() - begin;
  std::int64_t interval = length < kFirstWordsSamples
                              ? std::max(kReadingIntervalSamples, length / kReadingIntervalFraction)
                              : length / kLaterIntervalFraction;
  next_reading_ = audio_.end() + interval * (1 + stable_readings_);
  if (reading_.text.empty()) return;
  std::string text = written(reading_.text, false);
  if (text.empty() || text == shown_) return;
  shown_ = text;
  report_({std::move(text), false});
}

std::string SegmentedDictation::written(const std::string& text, bool committed) const {
  text::Formatted out = writer_(text, committed, done_);
  return out.joint + out.text;
}

}  // namespace speech
