#include "platform/text/spoken_marks.h"

#include <algorithm>
#include <array>
#include <vector>

namespace text {
namespace {

// Where a spoken mark goes: onto the word before it, onto the word after it (an opening quote or
// bracket), or between the two on its own (a dash).
enum class Attach { kBefore, kAfter, kAlone };

struct SpokenMark {
  std::array<std::string_view, 2> words;  // the second is empty for one-word names
  std::string_view mark;                  // a mark, or the line feeds of a break
  Attach attach = Attach::kBefore;
};

constexpr std::array<SpokenMark, 22> kSpokenMarks = {{
    {{"comma", ""}, ","},
    {{"period", ""}, "."},
    {{"full", "stop"}, "."},
    {{"question", "mark"}, "?"},
    {{"exclamation", "mark"}, "!"},
    {{"exclamation", "point"}, "!"},
    {{"colon", ""}, ":"},
    {{"semicolon", ""}, ";"},
    {{"semi", "colon"}, ";"},
    {{"new", "line"}, "\n"},
    {{"newline", ""}, "\n"},
    {{"new", "paragraph"}, "\n\n"},
    {{"open", "quote"}, "\"", Attach::kAfter},
    {{"begin", "quote"}, "\"", Attach::kAfter},
    {{"close", "quote"}, "\""},
    {{"end", "quote"}, "\""},
    {{"unquote", ""}, "\""},
    {{"open", "paren"}, "(", Attach::kAfter},
    {{"open", "parenthesis"}, "(", Attach::kAfter},
    {{"close", "paren"}, ")"},
    {{"close", "parenthesis"}, ")"},
    {{"dash", ""}, "-", Attach::kAlone},
}};

constexpr std::array<std::string_view, 23> kDeterminers = {
    "a",  "an",   "the", "this", "that", "these", "those", "each",  "every", "another", "any", "no",
    "my", "your", "his", "her",  "its",  "our",   "their", "whose", "same",  "first",   "last"};

// Words that describe a period, a colon or a stop rather than end a sentence: "a long period".
constexpr std::array<std::string_view, 12> kModifiers = {"long",   "short",   "brief",   "trial",
                                                         "grace",  "waiting", "time",    "whole",
                                                         "entire", "given",   "certain", "rest"};

bool onlyMarks(std::string_view s) { return std::all_of(s.begin(), s.end(), isMark); }

void dropMarks(std::string& s) { std::erase_if(s, isMark); }

// How many tokens from `at` spell `spoken`. Between its two words the engine may have put a mark
// of its own ("question, Mark?"), nothing else.
std::size_t matchAt(const FormatTokens& tokens, std::size_t at, const SpokenMark& spoken) {
  std::size_t length = spoken.words[1].empty() ? 1 : 2;
  if (at + length > tokens.size()) return 0;
  for (std::size_t i = 0; i < length; ++i) {
    const FormatToken& token = tokens[at + i];
    if (token.is_break || token.foreign || token.settled || !token.lead.empty()) return 0;
    if (!isWord(token.text, spoken.words[i])) return 0;
    if (i + 1 < length && !onlyMarks(token.trail)) return 0;
  }
  return length;
}

// `previous` is the word before the mark's name, if any.
bool usedAsNoun(const FormatToken* previous, const FormatTokens& tokens, std::size_t at,
                std::size_t length) {
  if (previous != nullptr && !previous->is_break && previous->trail.empty()) {
    std::string before = lowered(previous->text);
    // "to dash" is the verb.
    if (isDeterminer(before) || before == "to" ||
        std::find(kModifiers.begin(), kModifiers.end(), before) != kModifiers.end()) {
      return true;
    }
  }
  std::size_t next = at + length;
  return next < tokens.size() && tokens[at + length - 1].trail.empty() &&
         isWord(tokens[next].text, "of");
}

// Puts one spoken mark where it belongs among the words written so far (`out`). `rest` is what
// the engine wrote after the mark's name other than marks; `leading` collects a mark said before
// any word, `opening` one that goes on the next word.
void placeMark(const SpokenMark& found, const std::string& rest, FormatTokens& out,
               std::string& leading, std::string& opening) {
  if (found.attach == Attach::kAfter) {
    opening += found.mark;
    return;
  }
  if (found.attach == Attach::kAlone) {
    // "yes, dash mostly": the engine's comma gives way to the dash.
    if (!out.empty() && !out.back().is_break) dropMarks(out.back().trail);
    FormatToken dash;
    dash.text = found.mark;
    dash.trail = rest;
    dash.settled = true;
    out.push_back(std::move(dash));
    return;
  }
  if (found.mark[0] == '\n') {
    // Marks before a break are the writer's own ("Dear John, new line"): they stay.
    if (!out.empty() && !out.back().is_break) out.back().trail += rest;
    FormatToken line;
    line.is_break = true;
    line.text = found.mark;
    out.push_back(std::move(line));
    return;
  }
  if (out.empty()) {
    leading += found.mark;
    return;
  }
  FormatToken& before = out.back();
  // A mark right after a break has nothing to close.
  if (before.is_break) return;
  if (!isMark(found.mark[0])) {
    before.trail += std::string(found.mark) + rest;  // a closing quote or bracket
    return;
  }
  // The engine's own mark before the spoken one goes.
  before.trail += rest;
  putMark(before, found.mark[0]);
}

}  // namespace

bool isMarkWord(std::string_view lower) {
  return !lower.empty() &&
         std::any_of(kSpokenMarks.begin(), kSpokenMarks.end(), [&](const SpokenMark& spoken) {
           return spoken.words[0] == lower || spoken.words[1] == lower;
         });
}

bool isDeterminer(std::string_view lower) {
  return std::find(kDeterminers.begin(), kDeterminers.end(), lower) != kDeterminers.end();
}

std::string speakMarks(FormatTokens& tokens) {
  std::string leading;
  std::string opening;  // said before the word it goes on: an opening quote or bracket
  FormatTokens out;
  out.reserve(tokens.size());
  for (std::size_t i = 0; i < tokens.size();) {
    const SpokenMark* found = nullptr;
    std::size_t length = 0;
    for (const SpokenMark& spoken : kSpokenMarks) {
      length = matchAt(tokens, i, spoken);
      if (length > 0 && !usedAsNoun(out.empty() ? nullptr : &out.back(), tokens, i, length)) {
        found = &spoken;
        break;
      }
    }
    if (found == nullptr) {
      if (!tokens[i].is_break) tokens[i].lead.insert(0, opening);
      opening.clear();
      out.push_back(std::move(tokens[i]));
      ++i;
      continue;
    }
    // What the engine wrote after the spoken mark, other than marks (a closing quote), stays.
    std::string rest = tokens[i + length - 1].trail;
    dropMarks(rest);
    i += length;
    placeMark(*found, rest, out, leading, opening);
  }
  // An opening mark said last has no word to go on (yet): the next result shows it.
  tokens = std::move(out);
  return leading;
}

}  // namespace text
