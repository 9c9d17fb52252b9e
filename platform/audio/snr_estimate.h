// A running estimate of how far speech stands above the noise in a room, from the energy of
// successive frames of audio, and the decision it leads to: whether noise calls for suppression.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

namespace audio {

// Not thread-safe: fed by one thread, frame after frame.
class SnrEstimate {
 public:
  struct Settings {
    double frames_per_second = 100;
    // The noise floor is the quietest frame of this window: pauses between words come more
    // often than that, so speech alone never raises it.
    double floor_window_seconds = 1.5;
    // The speech level is the loudest frame heard, held this long and then let fall, but never
    // taken below the level of ordinary speech: in a room where nobody has spoken yet only the
    // noise floor can say how loud the noise is.
    double speech_hold_seconds = 4;
    double speech_fall_db_per_second = 3;
    double ordinary_speech_dbfs = -30;
    // Hysteresis: noisy once the estimate stays below the first for `settle_seconds`, quiet
    // again once it stays above the second as long, so a phrase is never cut in two.
    double noisy_below_db = 30;
    double quiet_above_db = 36;
    double settle_seconds = 0.3;
  };

  explicit SnrEstimate(const Settings& settings);

  // Takes one frame's mean square, in full-scale units (a full-scale sine is 0.5).
  void addFrame(double mean_square);
  double snrDb() const { return speech_db_ - floor_db_; }
  double floorDbfs() const { return floor_db_; }
  bool noisy() const { return noisy_; }

 private:
  Settings settings_;
  std::size_t floor_frames_;
  std::size_t hold_frames_;
  std::size_t settle_frames_;
  // Frame levels of the floor window with the quietest at the front: a monotonic queue keeps
  // the window's minimum at a constant cost per frame.
  std::deque<std::pair<std::uint64_t, double>> quietest_;
  std::uint64_t frame_ = 0;
  double floor_db_;
  double peak_db_;
  std::uint64_t peak_frame_ = 0;
  double speech_db_;
  std::size_t against_ = 0;  // frames in a row that call for the other decision
  bool noisy_ = false;
};

}  // namespace audio
