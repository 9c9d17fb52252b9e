#pragma once

#include "platform/text/format_tokens.h"
#include "platform/text/name_list.h"

namespace text {

// Writes titles ("mister smith" -> "Mr. Smith", "doctor brown" -> "Dr. Brown" but "the doctor"
// stays) and capitals: the first word of each sentence (the first token too when
// `starts_sentence`), "I", month and day names, and names in `names`. When the segment goes on a
// sentence begun before it, a capital the engine gave its first word is taken back unless the
// word is a name. Words the engine capitalised otherwise stay capitalised.
void writeCase(FormatTokens& tokens, const NameList& names, bool starts_sentence);

// Leaves one mark where the engine or a spoken mark left two ("M..", ",."): the strongest of
// them. An ellipsis stays.
void tidyMarks(FormatTokens& tokens);

// Ends the last sentence of a committed segment with "?" when it opens as a question ("is the
// train...", "where did you..."), "." otherwise, unless it ends in a mark of its own, a break or a
// word in another script. A trailing comma, colon or semicolon gives way to the closing mark.
void closeSentence(FormatTokens& tokens);

}  // namespace text
