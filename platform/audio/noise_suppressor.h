// A stage between a microphone and a recognizer that takes steady noise (a fan, an air
// conditioner, traffic, other voices) out of the audio when the room calls for it, and leaves the
// audio exactly as it was when the room is quiet: models trained on unprocessed speech hear clean
// speech best untouched, and noisy speech best cleaned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/audio/snr_estimate.h"

struct SpeexPreprocessState_;

namespace audio {

class NoiseSuppressor {
 public:
  enum class Engagement {
    kAdaptive,  // suppress while the running SNR estimate says the room is noisy
    kAlways,
    kNever,
  };

  struct Settings {
    double sample_rate_hz = 16000;
    double frame_ms = 10;
    // How far the suppressor lowers what it takes for noise, in dB (negative).
    int suppression_db = -15;
    Engagement engagement = Engagement::kAdaptive;
    SnrEstimate::Settings estimate;
  };

  // None when the settings give no whole frame of at least 16 samples or the suppressor cannot
  // be made for the rate.
  static std::unique_ptr<NoiseSuppressor> make(const Settings& settings);
  ~NoiseSuppressor();
  NoiseSuppressor(const NoiseSuppressor&) = delete;
  NoiseSuppressor& operator=(const NoiseSuppressor&) = delete;

  // Takes mono 16-bit samples at the settings' rate and appends to `out` every whole frame they
  // complete. The output is the input delayed by latencySamples() (the first frame out is
  // silence), suppressed or not; how the input is split into calls does not change it. The
  // suppressor keeps learning the noise whether it is engaged or not, so it has an estimate the
  // moment it is needed. Switching between the two crossfades over one frame. Not thread-safe.
  void process(const std::int16_t* samples, std::size_t count, std::vector<std::int16_t>& out);

  // Takes effect from the next frame, crossfading if it changes whether audio is suppressed.
  void setEngagement(Engagement engagement) { engagement_ = engagement; }

  // One frame: the suppressor's overlap-add gives a frame back once the next one is in.
  std::size_t latencySamples() const { return frame_samples_; }
  std::size_t frameSamples() const { return frame_samples_; }
  // Whether the last frame out was suppressed (at its end, if it crossfaded).
  bool suppressing() const { return suppressing_; }
  const SnrEstimate& estimate() const { return estimate_; }

 private:
  NoiseSuppressor(const Settings& settings, std::size_t frame_samples,
                  SpeexPreprocessState_* state);
  void processFrame(std::vector<std::int16_t>& out);

  Engagement engagement_;
  const std::size_t frame_samples_;
  SpeexPreprocessState_* const state_;
  SnrEstimate estimate_;
  std::vector<std::int16_t> pending_;   // the frame being filled
  std::vector<std::int16_t> previous_;  // the last whole frame in, as it came
  std::vector<std::int16_t> cleaned_;
  bool suppressing_;
};

}  // namespace audio
