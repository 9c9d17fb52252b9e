#pragma once

#include <string>

namespace speech {

// A BCP 47 language tag such as "en-US".
struct Locale {
  std::string identifier;

  // The user's current locale, from the process's locale settings (LC_ALL, LC_MESSAGES, LANG).
  static Locale current();
  bool operator==(const Locale&) const = default;
};

}  // namespace speech
