// The words the wake listener listens for, and how they sound: the recognizer is a generic
// service that knows neither.
#pragma once

#include <string>
#include <vector>

#include "platform/speech/recognizer.h"

namespace wake {

// Biases every request towards the name, the phrase first.
inline const std::vector<std::string>& contextualStrings() {
  static const std::vector<std::string> strings = {"Hey Vorlin", "Vorlin"};
  return strings;
}

// How readily the recognizer spots "Hey Vorlin" beside its language model. Set on the development
// set in bench/wake (make_devset.sh, wake_bench). A lone "vorlin" fires on a few ordinary
// sentences and on "for Lynn" even at 1e-5, so the recognizer spots only phrases and leaves the
// lone name to the language model, which knows the word. The two-word phrase wakes on no more
// clips of ordinary speech or near misses at 1e-15 than at 1e-10, and on more positives (81-83%
// of clean ones instead of 77%, 53% instead of 43% at 10 dB); at 1e-20 it woke on a read book.
inline constexpr double kPhraseThreshold = 1e-15;

// The assistant's name is in no dictionary. The first is how it is spelled; the second how
// people say it quickly ("vorlun"). A third with a softer r ("V ER L IH N", "verlin") was one
// phone from "Berlin": in a fan's noise "we spent a week in Berlin" woke the listener in 6 of 12
// tries with it and 2 without (bench/wake/near_after_phrase.py), for 2 of 75 quiet phrases.
inline const std::vector<speech::Pronunciation>& pronunciations() {
  static const std::vector<speech::Pronunciation> words = {
      {"vorlin", "V AO R L IH N"},
      {"vorlin(2)", "V AO R L AH N"},
  };
  return words;
}

}  // namespace wake
