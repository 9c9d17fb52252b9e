// Phrase spotting on a stream of 16 kHz mono audio: a voice segmenter keeps the engine idle in
// silence and noise; speech is read as it comes, in windows that begin at its onset, and a
// phrase is found when the engine scores it at or above the phrase's threshold.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/speech/recent_audio.h"
#include "platform/speech/segmenter.h"

namespace speech {

// What a phrase engine makes of one window of audio.
struct PhraseHearing {
  std::vector<std::int32_t> tokens;  // its own reading, which a longer window may build on
  std::string text;                  // that reading as text
  std::vector<float> scores;         // per phrase: how strongly the window holds it
};

// One engine, used from one thread. Throws Error when the engine fails.
class PhraseEngine {
 public:
  virtual ~PhraseEngine() = default;
  // Hears `samples` (16 kHz mono in [-1, 1]). `earlier`: the hearing of a shorter beginning of
  // the same window, or empty; the engine may build on it and answers the same as without it.
  virtual PhraseHearing hear(std::span<const float> samples, const PhraseHearing& earlier) = 0;
};

struct PhraseSpotterOptions {
  // Words around a phrase are often said in one breath with it, so segments end at short pauses:
  // a phrase after a comma's pause then opens a window of its own.
  SegmenterOptions segmenter = {.pause_ms = 300};
  // The open window is heard again after this much more audio, and once more when it closes.
  int check_interval_ms = 400;
  // A window is heard from its onset up to this length; past it, it starts again this much
  // before its end. Each hearing costs in proportion to the window's length.
  int max_window_ms = 3000;
  int window_overlap_ms = 1500;
  // A phrase that holds while the speech goes on is heard again this much later, and spotted if
  // it still holds.
  int confirm_after_ms = 200;
};

// One stream, one thread.
class PhraseSpotter {
 public:
  struct Spotted {
    std::size_t phrase = 0;
    float score = 0;
  };
  struct Heard {
    std::string text;               // the engine's reading of the window
    std::vector<float> scores;      // every phrase's score in the window
    std::vector<Spotted> spotted;   // phrases at or above their thresholds, best first
    std::int64_t window_begin = 0;  // sample indices of the window in the stream
    std::int64_t window_end = 0;
    bool closing = false;  // the speech paused: the window's last hearing
  };

  // `thresholds`: one per phrase the engine scores. Throws Error when the segmenter's options are
  // out of range.
  PhraseSpotter(PhraseEngine& engine, std::vector<float> thresholds,
                PhraseSpotterOptions options = {});

  // Takes the next samples; returns what each window heard within them, in order. A phrase is
  // spotted when it holds in two hearings of the window in a row, or in the last one, once the
  // speech has paused. A window that spots a phrase ends there: the audio after it is heard
  // afresh, so one saying gives one spotting and the next saying another.
  std::vector<Heard> push(std::span<const std::int16_t> samples);

 private:
  void hearWindow(std::int64_t end, bool closing, std::vector<Heard>& out);
  void closeWindow();

  PhraseEngine& engine_;
  std::vector<float> thresholds_;
  Segmenter segmenter_;
  std::int64_t interval_samples_, max_window_samples_, overlap_samples_, confirm_samples_;

  RecentAudio audio_;  // the stream, back to what a window may still need
  // The window under way: where it begins (-1: none), when it is heard next, and its last
  // hearing. Audio before `resume_` has been spotted in and is not heard again.
  std::int64_t window_begin_ = -1;
  std::int64_t next_check_ = 0;
  std::int64_t resume_ = 0;
  std::int64_t heard_to_ = 0;  // the end of the last window heard
  PhraseHearing hearing_;
  std::vector<bool> held_before_;  // per phrase: whether the window's last hearing held it
};

}  // namespace speech
