#include "platform/speech/segmented_dictation.h"

#include <algorithm>
#include <utility>

namespace speech {
namespace {

constexpr std::int64_t kSamplesPerSecond = 16000;
// The open segment is first read once it holds this much audio (its onset margin included)...
constexpr std::int64_t kFirstReadingSamples = kSamplesPerSecond * 4 / 10;
// ...then every tenth of a second, and every eighth of its length once it is longer than 0.8 s:
// the model hears its first word after 0.4 to 0.5 s of speech, so the first words show within
// 0.6 s of the start of speech; a reading costs more as the segment grows, and each new word
// matters less.
constexpr std::int64_t kReadingIntervalSamples = kSamplesPerSecond / 10;
constexpr std::int64_t kReadingIntervalFraction = 8;
// While the readings of a segment keep giving the same text (a pause inside it, a long word),
// each unchanged one waits longer for the next: up to this many intervals. Every reading
// encodes the whole segment again, so this is most of what real-time dictation costs.
constexpr int kMostStableIntervals = 4;

float toFloat(std::int16_t sample) { return static_cast<float>(sample) / 32768.0f; }

}  // namespace

SegmentedDictation::SegmentedDictation(SegmentEngine& engine, SegmenterOptions segmenter,
                                       bool volatile_results, DictationWriter writer, Report report)
    : engine_(engine),
      segmenter_(segmenter),
      volatile_results_(volatile_results),
      writer_(std::move(writer)),
      report_(std::move(report)) {}

void SegmentedDictation::feed(std::span<const std::int16_t> input, bool more_waiting) {
  audio_.insert(audio_.end(), input.begin(), input.end());
  audio_end_ += static_cast<std::int64_t>(input.size());
  for (const Segmenter::Segment& segment : segmenter_.push(input)) commit(segment);

  std::optional<std::int64_t> open = segmenter_.openSegmentBegin();
  if (open && *open != open_begin_) {
    open_begin_ = *open;
    next_reading_ = open_begin_ + kFirstReadingSamples;
    stable_readings_ = 0;
  }
  if (open && volatile_results_ && !more_waiting && audio_end_ >= next_reading_) {
    readOpenSegment(*open);
  }
  dropAudioBefore(std::min(segmenter_.earliestNeededSample(), open.value_or(audio_end_)));
}

void SegmentedDictation::finish() {
  if (std::optional<Segmenter::Segment> last = segmenter_.finish()) commit(*last);
}

void SegmentedDictation::commit(const Segmenter::Segment& segment) {
  SegmentHypothesis heard = engine_.transcribe(samples(segment.begin, segment.end), reading_);
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
  SegmentHypothesis heard = engine_.transcribe(samples(begin, audio_end_), reading_);
  bool unchanged = !reading_.tokens.empty() && heard.tokens == reading_.tokens;
  stable_readings_ = unchanged ? std::min(stable_readings_ + 1, kMostStableIntervals - 1) : 0;
  reading_ = std::move(heard);
  std::int64_t length = audio_end_ - begin;
  std::int64_t interval = std::max(kReadingIntervalSamples, length / kReadingIntervalFraction);
  next_reading_ = audio_end_ + interval * (1 + stable_readings_);
  if (reading_.text.empty()) return;
  std::string text = written(reading_.text, false);
  if (text.empty() || text == shown_) return;
  shown_ = text;
  report_({std::move(text), false});
}

std::span<const float> SegmentedDictation::samples(std::int64_t begin, std::int64_t end) {
  begin = std::clamp(begin, audio_begin_, audio_end_);
  end = std::clamp(end, begin, audio_end_);
  // One buffer for every reading: it grows to the longest segment once.
  samples_.resize(static_cast<std::size_t>(end - begin));
  auto first = audio_.begin() + (begin - audio_begin_);
  std::transform(first, first + (end - begin), samples_.begin(), toFloat);
  return samples_;
}

void SegmentedDictation::dropAudioBefore(std::int64_t sample) {
  sample = std::clamp(sample, audio_begin_, audio_end_);
  // Erasing moves the rest down: do it only once the dead part outweighs what is kept.
  std::int64_t dead = sample - audio_begin_;
  if (dead < kSamplesPerSecond || dead < audio_end_ - sample) return;
  audio_.erase(audio_.begin(), audio_.begin() + dead);
  audio_begin_ = sample;
}

std::string SegmentedDictation::written(const std::string& text, bool committed) const {
  Formatted out = writer_(text, committed, done_);
  return out.joint + out.text;
}

}  // namespace speech
