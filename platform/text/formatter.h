#pragma once

#include <string>
#include <string_view>

#include "platform/text/name_list.h"

namespace text {

// What the formatter needs to know besides the engine's text of one segment.
struct FormatContext {
  // The segment has ended: its last sentence is closed when the engine left it open. Otherwise
  // the text is provisional (heard so far): a full stop the engine put at its very end is left
  // out, since the speaker may not have finished the sentence; the committed text has its mark.
  bool committed = false;
  // The committed text so far, as written (only its end is read). Empty for the first segment of
  // a dictation. It decides whether the segment starts a sentence (the text before ends in . ? !
  // or a line break) or goes on one, and where a mark said at the start of the segment goes.
  std::string_view before;
  // Where names come from; nullptr means NameList::installed(), which throws std::runtime_error on
  // first use if the word list is missing: call it once at start-up to fail early.
  const NameList* names = nullptr;
};

// One segment as written. The caller writes `joint` and then `text` after the committed text:
//   committed += joint + text;                 (a committed segment)
//   line = committed + joint + text;           (a volatile one)
// `joint` is empty for the first segment of a dictation, and for a segment that has no text
// (nothing but a spoken mark: then it is that mark, if any). Otherwise it is
// - a space, or nothing after a line break;
// - the mark said at the start of the segment, then a space: "comma see you" after "Dear John"
//   gives joint ", " and text "see you" (a mark is dropped when the text before already ends in
//   one: committed text is never rewritten, so "." cannot become ",");
// - the line feeds of "new line" / "new paragraph" said at the start, with no space after them.
// At the start of a dictation a spoken mark or line break has nothing to attach to and is dropped.
struct Formatted {
  std::string joint;
  std::string text;
};

// The engine's text for one segment, as a person would write it: numbers, times, years, money,
// percentages, ordinals, decades, phone numbers and codes as numerals, e-mail and web addresses
// as written, titles abbreviated, spoken punctuation (quotes, brackets and dash too) as marks,
// sentences capitalised and, once committed, closed. What the engine already wrote that way stays
// as it is, capitals and marks included; words outside ASCII are never changed. Each result is
// formatted whole, so a number split across two results of one segment ("twenty", then "twenty
// five dollars") is written as one ("$25") once its last word has come. Across two committed
// segments it stays two numbers: committed text is never rewritten.
Formatted formatDictation(std::string_view engine_text, const FormatContext& context);

}  // namespace text
