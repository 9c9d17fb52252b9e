#pragma once

#include <string>

namespace speech {

// A BCP 47 language tag such as "en-US".
struct Locale {
  std::string identifier;

  // The user's current locale, from the process's locale settings (LC_ALL, LC_MESSAGES, LANG).
  static Locale current();
  // The tag for a POSIX locale name or a tag in any common spelling: "en_US.UTF-8", "en_us" and
  // "en-US" all give "en-US". Names without a language ("C", "POSIX", "") give "und".
  static Locale fromPosixName(const std::string& name);
  bool operator==(const Locale&) const = default;
};

}  // namespace speech
