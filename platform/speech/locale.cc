#include "platform/speech/locale.h"

#include <cctype>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace speech {
namespace {

bool allOf(std::string_view s, int (*pred)(int)) {
  for (unsigned char c : s) {
    if (!pred(c)) return false;
  }
  return !s.empty();
}

std::string mapCase(std::string_view s, int (*to)(int)) {
  std::string out;
  for (unsigned char c : s) out += static_cast<char>(to(c));
  return out;
}

}  // namespace

Locale Locale::fromPosixName(const std::string& name) {
  // The codeset and modifier say how text is written, not which language it is in.
  std::string_view rest(name);
  rest = rest.substr(0, rest.find_first_of(".@"));
  std::vector<std::string_view> parts;
  while (!rest.empty()) {
    std::size_t cut = rest.find_first_of("_-");
    parts.push_back(rest.substr(0, cut));
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  }
  if (parts.empty() || parts[0] == "C" || parts[0] == "POSIX" || parts[0].size() < 2 ||
      parts[0].size() > 3 || !allOf(parts[0], isalpha)) {
    return Locale{"und"};
  }
  std::string tag = mapCase(parts[0], tolower);
  for (std::size_t i = 1; i < parts.size(); ++i) {
    std::string_view part = parts[i];
    if (part.empty()) continue;
    tag += '-';
    if (part.size() == 4 && allOf(part, isalpha)) {
      tag += static_cast<char>(toupper(static_cast<unsigned char>(part[0])));
      tag += mapCase(part.substr(1), tolower);
    } else if (part.size() == 2 && allOf(part, isalpha)) {
      tag += mapCase(part, toupper);
    } else {
      tag += mapCase(part, tolower);
    }
  }
  return Locale{tag};
}

Locale Locale::current() {
  // The order in which the C library itself picks the locale of messages.
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return fromPosixName(value);
  }
  return Locale{"und"};
}

}  // namespace speech
