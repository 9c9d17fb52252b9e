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

// The assistant's name is in no dictionary. The first is how it is spelled; the others are
// how people say it quickly ("vorlun") or with a softer r ("verlin").
inline const std::vector<speech::Pronunciation>& pronunciations() {
  static const std::vector<speech::Pronunciation> words = {
      {"vorlin", "V AO R L IH N"},
      {"vorlin(2)", "V AO R L AH N"},
      {"vorlin(3)", "V ER L IH N"},
  };
  return words;
}

}  // namespace wake
