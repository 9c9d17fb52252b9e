// The words the wake listener listens for, and how sure the recognizer must be of them: the
// recognizer is a generic service that knows neither.
#pragma once

#include <string>
#include <vector>

namespace wake {

// Biases every request towards the name, the phrase first.
inline const std::vector<std::string>& contextualStrings() {
  static const std::vector<std::string> strings = {"Hey Vorlin", "Vorlin"};
  return strings;
}

// How strongly the audio must hold a contextual string before a transcription contains it, in
// natural-log units of likelihood below the recognizer's own reading of the audio. Chosen on the
// development set (bench/wake): lower wakes on more of the phrases said in noise, and on more of
// the words that sound like the name.
inline constexpr float kContextualStringThreshold = -9.0f;

}  // namespace wake
