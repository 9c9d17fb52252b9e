#include "platform/speech/spoken_marks.h"

#include <algorithm>
#include <array>
#include <vector>

namespace speech {
namespace {

struct SpokenMark {
  std::array<std::string_view, 2> words;  // the second is empty for one-word names
  std::string_view mark;                  // a mark, or the line feeds of a break
};

constexpr std::array<SpokenMark, 12> kSpokenMarks = {{
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
    if (lowered(token.text) != spoken.words[i]) return 0;
    if (i + 1 < length && !onlyMarks(token.trail)) return 0;
  }
  return length;
}

// `previous` is the word before the mark's name, if any.
bool usedAsNoun(const FormatToken* previous, const FormatTokens& tokens, std::size_t at,
                std::size_t length) {
  if (previous != nullptr && !previous->is_break && previous->trail.empty()) {
    std::string before = lowered(previous->text);
    if (isDeterminer(before) ||
        std::find(kModifiers.begin(), kModifiers.end(), before) != kModifiers.end()) {
      return true;
    }
  }
  std::size_t next = at + length;
  return next < tokens.size() && tokens[at + length - 1].trail.empty() &&
         lowered(tokens[next].text) == "of";
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
      out.push_back(std::move(tokens[i]));
      ++i;
      continue;
    }
    // What the engine wrote after the spoken mark, other than marks (a closing quote), stays.
    std::string rest = tokens[i + length - 1].trail;
    dropMarks(rest);
    i += length;
    bool is_break = found->mark[0] == '\n';
    if (is_break) {
      // Marks before a break are the writer's own ("Dear John, new line"): they stay.
      if (!out.empty() && !out.back().is_break) out.back().trail += rest;
      FormatToken line;
      line.is_break = true;
      line.text = found->mark;
      out.push_back(std::move(line));
      continue;
    }
    if (out.empty()) {
      leading = found->mark;
      continue;
    }
    FormatToken& before = out.back();
    // A mark right after a break has nothing to close.
    if (before.is_break) continue;
    // The engine's own mark before the spoken one goes; quotes and brackets stay outside it.
    std::string kept = before.trail;
    dropMarks(kept);
    before.trail = std::string(found->mark) + kept + rest;
  }
  tokens = std::move(out);
  return leading;
}

}  // namespace speech
