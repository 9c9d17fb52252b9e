#include "platform/speech/segmenter.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>

#include "platform/speech/error.h"

namespace speech {
namespace {

constexpr int kFrameSamples = Segmenter::kSampleRateHz / 100;  // 10 ms
constexpr int kFrameMs = 10;
constexpr int kLongestSegmentMs = 30000;
constexpr double kLowestDb = -130.0;

void require(bool condition, const std::string& what) {
  if (!condition) throw Error("segmenter option out of range: " + what);
}

void validate(const SegmenterOptions& o) {
  require(o.pause_ms >= kFrameMs, "pause_ms " + std::to_string(o.pause_ms));
  require(o.tail_ms >= 0 && o.tail_ms <= o.pause_ms,
          "tail_ms " + std::to_string(o.tail_ms) + " (0 to pause_ms)");
  require(o.max_segment_ms >= kFrameMs && o.max_segment_ms <= kLongestSegmentMs,
          "max_segment_ms " + std::to_string(o.max_segment_ms) + " (at most 30000)");
  require(o.cut_search_ms >= kFrameMs && o.cut_search_ms < o.max_segment_ms,
          "cut_search_ms " + std::to_string(o.cut_search_ms) + " (below max_segment_ms)");
  require(o.preroll_ms >= 0, "preroll_ms " + std::to_string(o.preroll_ms));
  require(o.min_speech_ms >= kFrameMs, "min_speech_ms " + std::to_string(o.min_speech_ms));
  require(o.onset_gap_ms >= kFrameMs, "onset_gap_ms " + std::to_string(o.onset_gap_ms));
  require(o.floor_window_ms >= kFrameMs, "floor_window_ms " + std::to_string(o.floor_window_ms));
  require(o.floor_percentile >= 0.0 && o.floor_percentile < 1.0,
          "floor_percentile " + std::to_string(o.floor_percentile));
  require(o.highpass_hz >= 0.0 && o.highpass_hz < Segmenter::kSampleRateHz / 2.0,
          "highpass_hz " + std::to_string(o.highpass_hz));
}

int toFrames(int ms) { return ms / kFrameMs; }

int toBin(double level_db) {
  int bin = static_cast<int>(std::floor((level_db - kLowestDb) / 0.5));
  return std::clamp(bin, 0, 259);
}

}  // namespace

Segmenter::Segmenter(SegmenterOptions options) : options_(options) {
  validate(options_);
  pause_frames_ = toFrames(options_.pause_ms);
  max_frames_ = toFrames(options_.max_segment_ms);
  cut_search_frames_ = toFrames(options_.cut_search_ms);
  preroll_frames_ = toFrames(options_.preroll_ms);
  tail_frames_ = toFrames(options_.tail_ms);
  min_speech_frames_ = toFrames(options_.min_speech_ms);
  onset_gap_frames_ = toFrames(options_.onset_gap_ms);
  floor_window_frames_ = toFrames(options_.floor_window_ms);

  // A second-order Butterworth high-pass (the audio EQ cookbook's form).
  if (options_.highpass_hz > 0) {
    double w0 = 2 * std::numbers::pi * options_.highpass_hz / kSampleRateHz;
    double alpha = std::sin(w0) / (2 * std::numbers::sqrt2 / 2);
    double cosw = std::cos(w0);
    double a0 = 1 + alpha;
    b0_ = (1 + cosw) / 2 / a0;
    b1_ = -(1 + cosw) / a0;
    b2_ = b0_;
    a1_ = -2 * cosw / a0;
    a2_ = (1 - alpha) / a0;
  } else {
    b0_ = 1;
    b1_ = b2_ = a1_ = a2_ = 0;
  }
}

std::vector<Segmenter::Segment> Segmenter::push(std::span<const std::int16_t> samples) {
  if (finished_) throw Error("segmenter: samples pushed after the end of input");
  std::vector<Segment> closed;
  total_samples_ += static_cast<std::int64_t>(samples.size());
  while (!samples.empty()) {
    std::size_t take = std::min(samples.size(), kFrameSamples - partial_.size());
    partial_.insert(partial_.end(), samples.begin(), samples.begin() + take);
    samples = samples.subspan(take);
    if (partial_.size() < kFrameSamples) break;
    step(frameLevel(partial_), closed);
    partial_.clear();
  }
  return closed;
}

std::optional<std::int64_t> Segmenter::openSegmentBegin() const {
  if (!open_begin_frame_) return std::nullopt;
  return framesToSamples(*open_begin_frame_);
}

std::optional<Segmenter::Segment> Segmenter::finish() {
  if (finished_) return std::nullopt;
  finished_ = true;
  if (!open_begin_frame_) return std::nullopt;
  // Speech may run to the very end, part frame and all; after a short silence the tail is kept.
  std::int64_t tail_end = last_speech_frame_ + 1 + tail_frames_;
  std::int64_t end = tail_end >= frames_ ? total_samples_ : framesToSamples(tail_end);
  Segment segment{framesToSamples(*open_begin_frame_), end};
  open_begin_frame_.reset();
  return segment;
}

std::int64_t Segmenter::earliestNeededSample() const {
  return framesToSamples(earliestNeededFrame());
}

std::int64_t Segmenter::earliestNeededFrame() const {
  if (open_begin_frame_) return *open_begin_frame_;
  std::int64_t onset = onset_frame_.value_or(frames_);
  return std::max({onset - preroll_frames_, last_end_frame_, std::int64_t{0}});
}

std::int64_t Segmenter::framesToSamples(std::int64_t frames) const {
  return frames * kFrameSamples;
}

double Segmenter::frameLevel(std::span<const std::int16_t> frame) {
  double sum = 0;
  for (std::int16_t s : frame) {
    double x = s / 32768.0;
    double y = b0_ * x + b1_ * x1_ + b2_ * x2_ - a1_ * y1_ - a2_ * y2_;
    x2_ = x1_;
    x1_ = x;
    y2_ = y1_;
    y1_ = y;
    sum += y * y;
  }
  // The small constant keeps digital silence finite, far below any real room.
  return 10 * std::log10(sum / static_cast<double>(frame.size()) + 1e-13);
}

void Segmenter::updateFloor(double level_db) {
  int bin = toBin(level_db);
  floor_levels_.push_back(static_cast<std::uint8_t>(bin));
  ++histogram_[bin];
  if (static_cast<int>(floor_levels_.size()) > floor_window_frames_) {
    --histogram_[floor_levels_.front()];
    floor_levels_.pop_front();
  }
}

double Segmenter::noiseFloor() const {
  auto rank =
      static_cast<int>(options_.floor_percentile * static_cast<double>(floor_levels_.size()));
  int seen = 0;
  for (int bin = 0; bin < kBins; ++bin) {
    seen += histogram_[bin];
    if (seen > rank) return kLowestDb + (bin + 0.5) * kBinDb;
  }
  return kLowestDb;
}

void Segmenter::step(double level_db, std::vector<Segment>& closed) {
  const std::int64_t frame = frames_;
  // The floor before this frame: the first frame of a stream has none and is never speech.
  bool speech = false;
  if (!floor_levels_.empty() && level_db > options_.min_level_dbfs) {
    double margin = open_begin_frame_ ? options_.keep_db : options_.open_db;
    speech = level_db > noiseFloor() + margin;
  }
  updateFloor(level_db);
  levels_.push_back(level_db);
  ++frames_;

  if (open_begin_frame_) {
    if (speech) {
      last_speech_frame_ = frame;
    } else if (frame - last_speech_frame_ >= pause_frames_) {
      close(framesToSamples(std::min(last_speech_frame_ + 1 + tail_frames_, frames_)), closed);
    }
    if (open_begin_frame_ && frames_ - *open_begin_frame_ >= max_frames_) cutLongSegment(closed);
  } else if (speech) {
    if (!onset_frame_) {
      onset_frame_ = frame;
      onset_speech_frames_ = 0;
    }
    ++onset_speech_frames_;
    last_speech_frame_ = frame;
    if (onset_speech_frames_ >= min_speech_frames_) {
      open_begin_frame_ = earliestNeededFrame();
      onset_frame_.reset();
    }
  } else if (onset_frame_ && frame - last_speech_frame_ >= onset_gap_frames_) {
    onset_frame_.reset();
  }

  std::int64_t keep_from = earliestNeededFrame();
  while (levels_first_frame_ < keep_from && !levels_.empty()) {
    levels_.pop_front();
    ++levels_first_frame_;
  }
}

void Segmenter::close(std::int64_t end_sample, std::vector<Segment>& closed) {
  closed.push_back({framesToSamples(*open_begin_frame_), end_sample});
  last_end_frame_ = end_sample / kFrameSamples;
  open_begin_frame_.reset();
}

// Unbroken speech is cut where it is quietest near the limit, most likely between two words;
// the next segment begins right there, since speech is still under way.
void Segmenter::cutLongSegment(std::vector<Segment>& closed) {
  std::int64_t from = frames_ - cut_search_frames_;
  std::int64_t quietest = from;
  for (std::int64_t f = from; f < frames_; ++f) {
    if (levels_[f - levels_first_frame_] <= levels_[quietest - levels_first_frame_]) quietest = f;
  }
  close(framesToSamples(quietest), closed);
  open_begin_frame_ = quietest;
}

}  // namespace speech
