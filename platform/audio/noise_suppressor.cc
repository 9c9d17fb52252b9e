#include "platform/audio/noise_suppressor.h"

#include <speex/speex_preprocess.h>

#include <algorithm>
#include <cmath>

namespace audio {

std::unique_ptr<NoiseSuppressor> NoiseSuppressor::make(const Settings& settings) {
  double frame = settings.sample_rate_hz * settings.frame_ms / 1000;
  if (!(frame >= 16 && frame <= 1 << 16) || frame != std::floor(frame)) return nullptr;
  if (!(settings.sample_rate_hz >= 1000 && settings.sample_rate_hz <= 192000)) return nullptr;
  auto frame_samples = static_cast<std::size_t>(frame);
  SpeexPreprocessState* state = speex_preprocess_state_init(
      static_cast<int>(frame_samples), static_cast<int>(settings.sample_rate_hz));
  if (!state) return nullptr;
  // Only the denoiser: gain control would pump the level between words. Voice detection is off
  // from the start and is not set, since setting it writes a warning on stderr.
  spx_int32_t on = 1, off = 0, suppression = settings.suppression_db;
  if (speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_DENOISE, &on) != 0 ||
      speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &suppression) != 0 ||
      speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_AGC, &off) != 0 ||
      speex_preprocess_ctl(state, SPEEX_PREPROCESS_SET_DEREVERB, &off) != 0) {
    speex_preprocess_state_destroy(state);
    return nullptr;
  }
  SnrEstimate::Settings estimate = settings.estimate;
  estimate.frames_per_second = 1000 / settings.frame_ms;
  Settings adjusted = settings;
  adjusted.estimate = estimate;
  return std::unique_ptr<NoiseSuppressor>(new NoiseSuppressor(adjusted, frame_samples, state));
}

NoiseSuppressor::NoiseSuppressor(const Settings& settings, std::size_t frame_samples,
                                 SpeexPreprocessState_* state)
    : engagement_(settings.engagement),
      frame_samples_(frame_samples),
      state_(state),
      estimate_(settings.estimate),
      previous_(frame_samples, 0),
      cleaned_(frame_samples, 0),
      suppressing_(settings.engagement == Engagement::kAlways) {
  pending_.reserve(frame_samples);
}

NoiseSuppressor::~NoiseSuppressor() { speex_preprocess_state_destroy(state_); }

void NoiseSuppressor::process(const std::int16_t* samples, std::size_t count,
                              std::vector<std::int16_t>& out) {
  while (count > 0) {
    std::size_t take = std::min(count, frame_samples_ - pending_.size());
    pending_.insert(pending_.end(), samples, samples + take);
    samples += take;
    count -= take;
    if (pending_.size() == frame_samples_) {
      processFrame(out);
      pending_.clear();
    }
  }
}

void NoiseSuppressor::processFrame(std::vector<std::int16_t>& out) {
  double sum = 0;
  for (std::int16_t s : pending_) sum += static_cast<double>(s) * s;
  estimate_.addFrame(sum / static_cast<double>(frame_samples_) / (32768.0 * 32768.0));

  // In place, and a frame late: what comes back is the previous frame, cleaned.
  std::copy(pending_.begin(), pending_.end(), cleaned_.begin());
  speex_preprocess_run(state_, cleaned_.data());

  bool suppress = engagement_ == Engagement::kAlways ||
                  (engagement_ == Engagement::kAdaptive && estimate_.noisy());
  if (suppress == suppressing_) {
    const std::vector<std::int16_t>& chosen = suppress ? cleaned_ : previous_;
    out.insert(out.end(), chosen.begin(), chosen.end());
  } else {
    // Both are the same stretch of sound, so a crossfade joins them without a step or a gap.
    const std::vector<std::int16_t>& from = suppressing_ ? cleaned_ : previous_;
    const std::vector<std::int16_t>& to = suppress ? cleaned_ : previous_;
    for (std::size_t i = 0; i < frame_samples_; ++i) {
      double w = (static_cast<double>(i) + 0.5) / static_cast<double>(frame_samples_);
      double mixed = (1 - w) * from[i] + w * to[i];
      out.push_back(static_cast<std::int16_t>(std::clamp(std::lround(mixed), -32768L, 32767L)));
    }
    suppressing_ = suppress;
  }
  previous_.swap(pending_);
}

}  // namespace audio
