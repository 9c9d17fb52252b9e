// How PocketSphinx writes words, in its hypotheses and its dictionary.
#pragma once

#include <cstddef>
#include <string_view>

namespace speech {

// Silence, noise and breath: "<sil>", "[NOISE]", "++BREATH++"; none is a word a person said.
inline bool isFiller(std::string_view word) {
  return word.empty() || word.front() == '<' || word.front() == '[' || word.front() == '+';
}

// "read(2)", the dictionary's second pronunciation of "read", is the word "read".
inline std::string_view baseWord(std::string_view word) {
  std::size_t open = word.find('(');
  if (open == std::string_view::npos || open == 0 || word.back() != ')') return word;
  return word.substr(0, open);
}

}  // namespace speech
