#include "platform/audio/snr_estimate.h"

#include <algorithm>
#include <cmath>

namespace audio {
namespace {

// Digital silence has no level; this stands for it, far below any microphone's own hiss.
constexpr double kSilenceDbfs = -100;

std::size_t framesIn(double seconds, double frames_per_second) {
  return std::max<std::size_t>(1,
                               static_cast<std::size_t>(std::lround(seconds * frames_per_second)));
}

}  // namespace

SnrEstimate::SnrEstimate(const Settings& settings)
    : settings_(settings),
      floor_frames_(framesIn(settings.floor_window_seconds, settings.frames_per_second)),
      hold_frames_(framesIn(settings.speech_hold_seconds, settings.frames_per_second)),
      settle_frames_(framesIn(settings.settle_seconds, settings.frames_per_second)),
      floor_db_(kSilenceDbfs),
      peak_db_(kSilenceDbfs),
      speech_db_(settings.ordinary_speech_dbfs) {}

void SnrEstimate::addFrame(double mean_square) {
  // Full scale is a square wave at 0 dBFS; mean_square is in units of full scale squared.
  double level =
      mean_square > 0 ? std::max(kSilenceDbfs, 10 * std::log10(mean_square)) : kSilenceDbfs;
  ++frame_;

  while (!quietest_.empty() && quietest_.back().second >= level) quietest_.pop_back();
  quietest_.emplace_back(frame_, level);
  while (quietest_.front().first + floor_frames_ <= frame_) quietest_.pop_front();
  floor_db_ = quietest_.front().second;

  if (level >= peak_db_) {
    peak_db_ = level;
    peak_frame_ = frame_;
  } else if (frame_ - peak_frame_ > hold_frames_) {
    peak_db_ = std::max(
        level, peak_db_ - settings_.speech_fall_db_per_second / settings_.frames_per_second);
  }
  speech_db_ = std::max(peak_db_, settings_.ordinary_speech_dbfs);

  double snr = snrDb();
  bool against = noisy_ ? snr > settings_.quiet_above_db : snr < settings_.noisy_below_db;
  against_ = against ? against_ + 1 : 0;
  if (against_ >= settle_frames_) {
    noisy_ = !noisy_;
    against_ = 0;
  }
}

}  // namespace audio
