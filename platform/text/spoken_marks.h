#pragma once

#include <string>
#include <string_view>

#include "platform/text/format_tokens.h"

namespace text {

// Turns spoken punctuation ("comma", "question mark", "new line", ...) into the marks and line
// breaks themselves. A mark goes onto the word before it, replacing whatever mark the engine put
// there or around the spoken word. A spoken mark with no word before it in `tokens` is taken out
// and returned, for the caller to attach to the text before the segment; a break there stays.
//
// A mark's name is an ordinary word where it is used as a noun: after a determiner or possessive
// ("a period", "the colon", "your full stop"), after a word that describes it ("a long period")
// or before "of" ("period of time").
std::string speakMarks(FormatTokens& tokens);

// The words a spoken mark is made of, for tokenize(): "exclamation-point" is two words.
bool isMarkWord(std::string_view lower);

// The determiners and possessives before which a mark's name, or a title, is a plain noun.
bool isDeterminer(std::string_view lower);

}  // namespace text
