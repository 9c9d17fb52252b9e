#include "platform/text/formatter.h"

#include "platform/text/format_tokens.h"
#include "platform/text/sentence_case.h"
#include "platform/text/spoken_addresses.h"
#include "platform/text/spoken_marks.h"
#include "platform/text/spoken_numbers.h"

namespace text {
namespace {

bool splittable(std::string_view lower) { return isNumberWord(lower) || isMarkWord(lower); }

// The engine hyphenates a spoken mark onto the word before it: "party-question mark".
bool markTail(std::string_view lower) { return lower == "question" || lower == "exclamation"; }

// The last character of the text before, other than spaces; 0 when there is none.
char lastOf(std::string_view before) {
  std::size_t end = before.find_last_not_of(" \t");
  return end == std::string_view::npos ? 0 : before[end];
}

bool closes(char c) { return c == '.' || c == '?' || c == '!' || c == '\n'; }

// The model closes what it has heard so far with a full stop, though the audio stops only because
// the speaker has not finished: "how much there might." A provisional result loses it; the
// committed one, heard to its end, has the mark the sentence needs. An ellipsis is meant.
void dropProvisionalStop(FormatTokens& tokens) {
  if (tokens.empty() || tokens.back().is_break) return;
  std::string& trail = tokens.back().trail;
  if (trail.find("...") != std::string::npos) return;
  std::erase(trail, '.');
}

}  // namespace

Formatted formatDictation(std::string_view engine_text, const FormatContext& context) {
  const NameList& names = context.names != nullptr ? *context.names : NameList::installed();
  FormatTokens tokens = tokenize(engine_text, splittable, markTail);
  if (!context.committed) dropProvisionalStop(tokens);
  writeAddresses(tokens);
  std::string mark = speakMarks(tokens);
  writeNumbers(tokens);

  char last = lastOf(context.before);
  bool first = last == 0;
  // A mark goes after a word only: after another mark or a line break it would be a second one.
  // A closing quote or bracket said first closes what the text before opened.
  bool closing = !mark.empty() && !isMark(mark[0]);
  if (first || (!closing && (isMark(last) || last == '\n'))) mark.clear();
  std::string breaks;
  while (!tokens.empty() && tokens.front().is_break) {
    if (!first) breaks += tokens.front().text;
    tokens.erase(tokens.begin());
  }
  bool starts_sentence =
      first || closes(last) || !breaks.empty() || (!mark.empty() && closes(mark[0]));
  writeCase(tokens, names, starts_sentence);
  tidyMarks(tokens);
  if (context.committed) closeSentence(tokens);

  Formatted out;
  out.text = render(tokens);
  out.joint = mark + breaks;
  if (!first && !out.text.empty() && breaks.empty() && last != '\n') out.joint += ' ';
  return out;
}

}  // namespace text
