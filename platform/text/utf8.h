// The one rule of well-formed UTF-8 in text we read and write: the Unicode standard's table of
// well-formed byte sequences, so no overlong forms, no surrogates, nothing above U+10FFFF.
#pragma once

#include <string_view>

namespace text {

// The length of the well-formed sequence at the start of `bytes` (not empty), or, when there is
// none, minus the length of its longest start that could still have become one (at least 1).
int utf8SequenceAt(std::string_view bytes);

// The character of a well-formed sequence, whole, as utf8SequenceAt() measured it.
char32_t utf8Character(std::string_view sequence);

bool isUtf8(std::string_view text);

}  // namespace text
