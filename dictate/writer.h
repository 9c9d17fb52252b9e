// How dictation writes the engine's text: as a person writes it, with the installed names.
#pragma once

#include <string_view>

#include "platform/text/formatter.h"

namespace dictate {

// One segment of the engine's text as written after the committed transcript `before`.
text::Formatted writeDictation(std::string_view text, bool committed, std::string_view before);

// Reads the word list of names writeDictation() capitalises; throws speech::Error when it is
// missing, so that dictation fails at its start rather than at its first result.
void prepareWriter();

}  // namespace dictate
