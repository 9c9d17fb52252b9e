// Voice activity segmentation: cuts a stream of 16 kHz mono samples into stretches of speech, so
// that a recognizer sees each utterance from just before its first phoneme and never hours of
// room noise in front of it.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "platform/speech/sample_rate.h"

namespace speech {

// Defaults measured on noisy dictation (bench/segmenter_devset.py): pink, brown and babble noise
// at 20, 10 and 5 dB, starting seconds before the speech.
struct SegmenterOptions {
  // Silence that ends a segment.
  int pause_ms = 600;
  // A segment of unbroken speech is cut when it reaches this length, at the quietest moment of
  // its last `cut_search_ms`; at most 30000 (what a recognizer of 30 s windows takes).
  int max_segment_ms = 20000;
  int cut_search_ms = 3000;
  // Audio kept in front of the first frame taken for speech, so a soft first phoneme is whole.
  int preroll_ms = 250;
  // Audio kept after the last frame taken for speech.
  int tail_ms = 200;
  // Speech frames needed before a segment opens: shorter bursts (a click, a knock) open none.
  int min_speech_ms = 120;
  // A gap this long before that much speech has gathered starts the count again.
  int onset_gap_ms = 150;
  // A frame is speech when its level is this far above the noise floor: to open a segment, and
  // (lower, so trailing soft sounds are kept) to keep one open.
  double open_db = 9.0;
  double keep_db = 6.0;
  // Frames quieter than this are never speech, whatever the floor (digital silence, dither).
  double min_level_dbfs = -60.0;
  // The noise floor is this low percentile of the frame levels over the last `floor_window_ms`:
  // speech leaves gaps between words, so the floor follows the room and not the talker.
  int floor_window_ms = 5000;
  double floor_percentile = 0.15;
  // Levels are taken above this frequency: room rumble and brown noise sit below it, speech does
  // not.
  double highpass_hz = 200.0;
};

// Splits a stream of 16 kHz mono samples into segments of speech. One thread. Decisions are made
// on 10 ms frames, each from what came before it only, so any split of the stream into push()
// calls gives the same segments.
class Segmenter {
 public:
  struct Segment {
    std::int64_t begin = 0;  // sample indices in the stream, [begin, end)
    std::int64_t end = 0;
    friend bool operator==(const Segment&, const Segment&) = default;
  };

  static constexpr int kSampleRateHz = speech::kSampleRateHz;

  // Throws speech::Error when an option is out of range.
  explicit Segmenter(SegmenterOptions options = {});

  // Takes the next samples (any count, any split: the same segments for any split of the stream).
  // Returns the segments that closed within them, in order.
  std::vector<Segment> push(std::span<const std::int16_t> samples);
  // The start of the segment under way, if speech is under way.
  std::optional<std::int64_t> openSegmentBegin() const;
  // End of input: closes the segment under way, if any, at the end of the stream or its tail.
  // Speech still too short to open a segment is dropped. push() after finish() is an error.
  std::optional<Segment> finish();
  // The earliest sample index a later segment can begin at: the caller may drop audio before it.
  std::int64_t earliestNeededSample() const;

 private:
  // The frame's level in dB relative to full scale, after the high-pass filter.
  double frameLevel(std::span<const std::int16_t> frame);
  void updateFloor(double level_db);
  double noiseFloor() const;
  // Decides on the next whole frame; may close a segment into `closed`.
  void step(double level_db, std::vector<Segment>& closed);
  void cutLongSegment(std::vector<Segment>& closed);
  void close(std::int64_t end_sample, std::vector<Segment>& closed);
  std::int64_t framesToSamples(std::int64_t frames) const;

  SegmenterOptions options_;
  int pause_frames_, max_frames_, cut_search_frames_, preroll_frames_, tail_frames_;
  int min_speech_frames_, onset_gap_frames_, floor_window_frames_;

  // The high-pass biquad and its state, carried across frames.
  double b0_, b1_, b2_, a1_, a2_;
  double x1_ = 0, x2_ = 0, y1_ = 0, y2_ = 0;

  // Samples of a frame not yet whole.
  std::vector<std::int16_t> partial_;
  std::int64_t frames_ = 0;  // whole frames decided
  std::int64_t total_samples_ = 0;
  bool finished_ = false;

  // Frame levels of the floor window, and their histogram in bins of kBinDb.
  static constexpr double kBinDb = 0.5;
  static constexpr int kBins = 260;  // -130 dB to 0 dB
  std::deque<std::uint8_t> floor_levels_;
  std::array<int, kBins> histogram_{};

  // Where no segment may begin any more: the end of the last one.
  std::int64_t last_end_frame_ = 0;
  // Gathering speech before a segment opens.
  std::optional<std::int64_t> onset_frame_;
  int onset_speech_frames_ = 0;
  std::int64_t last_speech_frame_ = -1;
  // The segment under way.
  std::optional<std::int64_t> open_begin_frame_;
  // Frame levels from the earliest frame a segment can still begin at, for the quietest moment
  // of a long segment; levels_[0] is frame levels_first_frame_.
  std::deque<double> levels_;
  std::int64_t levels_first_frame_ = 0;

  std::int64_t earliestNeededFrame() const;
};

}  // namespace speech
