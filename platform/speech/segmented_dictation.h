// Dictation on a segment engine: the audio is cut into segments of speech at its pauses; the
// open segment is read again as it grows (volatile results) and each closed one a last time
// (final results).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/speech/recent_audio.h"
#include "platform/speech/segment_engine.h"
#include "platform/speech/segmenter.h"
#include "platform/speech/transcriber.h"
#include "platform/text/formatter.h"

namespace speech {

// How the engine's text of one segment is written, given whether it is committed and the
// committed transcript before it; formatDictation() is the real one. A result's text is the
// joint followed by the text.
using DictationWriter =
    std::function<text::Formatted(std::string_view text, bool committed, std::string_view before)>;

class SegmentedDictation {
 public:
  using Report = std::function<void(SpeechTranscriberResult)>;

  // Reports every result through `report`, in order: the volatile results of a segment (when
  // `volatile_results`, and only when their text changed), then its final result. A final
  // result's text is the segment's as `writer` writes it. Segments in which the engine hears
  // nothing give no result, unless a volatile one was shown: its final result is then empty.
  // Once `input_ended` says so, a volatile reading under way is given up: finish() comes next,
  // and its final reading would only wait for it.
  SegmentedDictation(SegmentEngine& engine, SegmenterOptions segmenter, bool volatile_results,
                     DictationWriter writer, Report report, std::function<bool()> input_ended = {});

  // Takes the next samples of the input (16 kHz mono). `more_waiting` says that more input is
  // already there: the open segment is then read again only once it has been taken, so a
  // reader ahead of real time gets fewer volatile results, never later final ones.
  void feed(std::span<const std::int16_t> samples, bool more_waiting);
  // End of input: the open segment is closed and committed.
  void finish();

 private:
  void commit(const Segmenter::Segment& segment);
  void readOpenSegment(std::int64_t begin);
  std::string written(const std::string& text, bool committed) const;

  SegmentEngine& engine_;
  Segmenter segmenter_;
  bool volatile_results_;
  DictationWriter writer_;
  Report report_;
  std::function<bool()> input_ended_;

  RecentAudio audio_;  // the input, back to what a reading may still need
  // The open segment: where it begins, when it is read again, and its last reading.
  std::int64_t open_begin_ = -1;
  std::int64_t next_reading_ = 0;
  SegmentHypothesis reading_;
  int stable_readings_ = 0;  // readings in a row that gave the tokens of the one before
  std::string shown_;        // the last volatile text reported for it
  std::string done_;         // the committed transcript so far
};

}  // namespace speech
