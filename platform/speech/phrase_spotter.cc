#include "platform/speech/phrase_spotter.h"

#include <algorithm>
#include <utility>

#include "platform/speech/error.h"

namespace speech {
namespace {

constexpr std::int64_t kSamplesPerMs = Segmenter::kSampleRateHz / 1000;

}  // namespace

PhraseSpotter::PhraseSpotter(PhraseEngine& engine, std::vector<float> thresholds,
                             PhraseSpotterOptions options)
    : engine_(engine),
      thresholds_(std::move(thresholds)),
      segmenter_(options.segmenter),
      interval_samples_(std::max(1, options.check_interval_ms) * kSamplesPerMs),
      max_window_samples_(std::max(1, options.max_window_ms) * kSamplesPerMs),
      overlap_samples_(std::clamp(options.window_overlap_ms, 0, options.max_window_ms) *
                       kSamplesPerMs),
      confirm_samples_(std::max(1, options.confirm_after_ms) * kSamplesPerMs) {
  if (options.check_interval_ms <= 0 || options.max_window_ms <= 0) {
    throw Error("phrase spotting needs a positive check interval and window length");
  }
}

std::vector<PhraseSpotter::Heard> PhraseSpotter::push(std::span<const std::int16_t> input) {
  audio_.append(input);
  const std::int64_t audio_end = audio_.end();
  std::vector<Heard> out;
  for (const Segmenter::Segment& segment : segmenter_.push(input)) {
    // A segment may open and close within one push: its window then begins here.
    if (window_begin_ < 0) window_begin_ = std::max(segment.begin, resume_);
    if (segment.end > heard_to_) hearWindow(segment.end, true, out);
    closeWindow();
  }
  std::optional<std::int64_t> open = segmenter_.openSegmentBegin();
  if (open) {
    if (window_begin_ < 0) {
      window_begin_ = std::max(*open, resume_);
      // Nothing worth hearing is said in less than two intervals.
      next_check_ = window_begin_ + 2 * interval_samples_;
    }
    if (audio_end >= next_check_) hearWindow(audio_end, false, out);
    if (window_begin_ >= 0 && audio_end - window_begin_ > max_window_samples_) {
      // Long speech: the window starts again, far enough back that a phrase it cut in two is
      // whole in the next one.
      window_begin_ = std::max(audio_end - overlap_samples_, resume_);
      hearing_ = {};
      held_before_.clear();
      next_check_ = audio_end + interval_samples_;
    }
  }
  std::int64_t needed = segmenter_.earliestNeededSample();
  if (window_begin_ >= 0) needed = std::min(needed, window_begin_);
  audio_.dropBefore(needed);
  return out;
}

void PhraseSpotter::hearWindow(std::int64_t end, bool closing, std::vector<Heard>& out) {
  hearing_ = engine_.hear(audio_.floats(window_begin_, end), hearing_);
  heard_to_ = end;
  next_check_ = end + interval_samples_;
  Heard heard{hearing_.text, hearing_.scores, {}, window_begin_, end, closing};
  std::vector<bool> held(thresholds_.size(), false);
  bool holds = false;
  for (std::size_t p = 0; p < thresholds_.size() && p < hearing_.scores.size(); ++p) {
    held[p] = hearing_.scores[p] >= thresholds_[p];
    holds = holds || held[p];
    // A phrase heard up to the very end of the window may be the start of a longer word
    // ("Vorlin" of "Vorlington"): it counts once a window with more audio after it still holds
    // it, or once the speech has paused after it.
    if (held[p] && (closing || (p < held_before_.size() && held_before_[p]))) {
      heard.spotted.push_back({p, hearing_.scores[p]});
    }
  }
  held_before_ = closing ? std::vector<bool>() : std::move(held);
  if (holds && heard.spotted.empty()) next_check_ = end + confirm_samples_;
  std::sort(heard.spotted.begin(), heard.spotted.end(),
            [](const Spotted& a, const Spotted& b) { return a.score > b.score; });
  if (!heard.spotted.empty()) {
    // What was spotted is not heard again.
    resume_ = end;
    window_begin_ = end;
    hearing_ = {};
    held_before_.clear();
    next_check_ = end + 2 * interval_samples_;
  }
  out.push_back(std::move(heard));
}

void PhraseSpotter::closeWindow() {
  window_begin_ = -1;
  hearing_ = {};
  held_before_.clear();
}

}  // namespace speech
