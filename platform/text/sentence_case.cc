#include "platform/text/sentence_case.h"

#include <algorithm>
#include <array>

#include "platform/text/spoken_marks.h"
#include "platform/text/spoken_numbers.h"

namespace text {
namespace {

constexpr std::array<std::string_view, 7> kDays = {"monday", "tuesday",  "wednesday", "thursday",
                                                   "friday", "saturday", "sunday"};

// Months that are also ordinary words are capitalised only in dates (spoken_numbers) and after
// these words ("in may", "since march").
constexpr std::array<std::string_view, 3> kMonthsAlsoWords = {"may", "march", "august"};
constexpr std::array<std::string_view, 6> kBeforeMonths = {"in",     "since", "until",
                                                           "during", "early", "late"};

// Given names the word list also has as words ("john", "peter out"), which in dictation are far
// more often the name.
constexpr std::array<std::string_view, 6> kCommonNames = {"john", "peter", "tom",
                                                          "jim",  "joe",   "harry"};

constexpr std::array<std::string_view, 5> kFirstPerson = {"i", "i'm", "i'll", "i've", "i'd"};

// After "doctor" these words show it is the noun ("doctor said", "doctor's office").
constexpr std::array<std::string_view, 34> kNotAName = {
    "is",    "was",         "said",   "says",  "will", "would", "can",   "could", "should",
    "and",   "or",          "but",    "to",    "of",   "in",    "on",    "at",    "for",
    "with",  "from",        "about",  "who",   "that", "which", "has",   "had",   "told",
    "asked", "appointment", "office", "visit", "when", "if",    "thinks"};

constexpr std::array<std::string_view, 9> kQuestionWords = {"who", "what",  "when",  "where", "why",
                                                            "how", "which", "whose", "whom"};
constexpr std::array<std::string_view, 36> kAuxiliaries = {
    "is",      "are",     "am",     "was",   "were",     "do",     "does",     "did",
    "can",     "could",   "will",   "would", "shall",    "should", "may",      "might",
    "must",    "have",    "has",    "had",   "isn't",    "aren't", "wasn't",   "weren't",
    "don't",   "doesn't", "didn't", "can't", "couldn't", "won't",  "wouldn't", "shouldn't",
    "haven't", "hasn't",  "hadn't", "shan't"};
constexpr std::array<std::string_view, 9> kSubjects = {"i",  "you",  "we",    "he",     "she",
                                                       "it", "they", "there", "someone"};

template <std::size_t N>
bool among(const std::array<std::string_view, N>& words, std::string_view w) {
  return std::find(words.begin(), words.end(), w) != words.end();
}

bool isPlainWord(const FormatToken& t) { return !t.is_break && !t.foreign && !t.text.empty(); }

// The word without a possessive "'s", for looking it up.
std::string_view stem(std::string_view lower) {
  if (lower.size() > 2 && lower.ends_with("'s")) lower.remove_suffix(2);
  return lower;
}

bool isName(std::string_view lower, const NameList& names) {
  std::string_view w = stem(lower);
  if (among(kMonthsAlsoWords, w)) return false;
  return names.contains(w) || among(kCommonNames, w) || among(kDays, w) || !monthName(w).empty();
}

bool isLowerCase(std::string_view text) {
  return std::none_of(text.begin(), text.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

// Writes "mister", "missus" and "doctor" as titles; true when token i became one.
bool writeTitle(FormatTokens& tokens, std::size_t i) {
  FormatToken& t = tokens[i];
  std::string lower = lowered(t.text);
  std::string_view title = lower == "mister" ? "Mr." : lower == "missus" ? "Mrs." : "";
  if (lower == "doctor") {
    bool noun = i > 0 && isPlainWord(tokens[i - 1]) && tokens[i - 1].trail.empty() &&
                isDeterminer(lowered(tokens[i - 1].text));
    bool named = i + 1 < tokens.size() && isPlainWord(tokens[i + 1]) &&
                 !among(kNotAName, stem(lowered(tokens[i + 1].text)));
    if (!noun && named) title = "Dr.";
  }
  if (title.empty() || !t.trail.empty() || i + 1 >= tokens.size() || !isPlainWord(tokens[i + 1])) {
    return false;
  }
  t.text = title;
  t.settled = true;
  return true;
}

bool opensQuestion(const FormatTokens& tokens, std::size_t start) {
  if (start >= tokens.size() || !isPlainWord(tokens[start])) return false;
  std::string first = lowered(tokens[start].text);
  std::string second =
      start + 1 < tokens.size() && isPlainWord(tokens[start + 1]) && tokens[start].trail.empty()
          ? lowered(tokens[start + 1].text)
          : "";
  if (among(kQuestionWords, first)) return !among(kSubjects, second);
  return among(kAuxiliaries, first) &&
         (among(kSubjects, second) || isDeterminer(second) || among(kFirstPerson, second));
}

}  // namespace

void writeCase(FormatTokens& tokens, const NameList& names, bool starts_sentence) {
  bool at_start = starts_sentence;
  bool after_title = false;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    FormatToken& t = tokens[i];
    if (t.is_break) {
      at_start = true;
      continue;
    }
    bool title = !t.settled && !t.foreign && writeTitle(tokens, i);
    if (!t.settled && !t.foreign) {
      std::string lower = lowered(t.text);
      bool month = among(kMonthsAlsoWords, lower) && i > 0 && isPlainWord(tokens[i - 1]) &&
                   tokens[i - 1].trail.empty() && among(kBeforeMonths, lowered(tokens[i - 1].text));
      if (among(kFirstPerson, lower) || after_title || month || isName(lower, names)) {
        capitalize(t);
      } else if (i == 0 && !starts_sentence && !isLowerCase(t.text.substr(0, 1)) &&
                 isLowerCase(t.text.substr(1))) {
        t.text[0] = lowered(t.text.substr(0, 1))[0];
      }
    }
    if (at_start) capitalize(t);
    after_title = title;
    at_start = endsSentence(t);
  }
}

void tidyMarks(FormatTokens& tokens) {
  constexpr std::string_view kStrength = "?!.;:,";
  for (FormatToken& t : tokens) {
    std::size_t marks = std::count_if(t.trail.begin(), t.trail.end(), isMark);
    if (marks < 2 || t.trail.starts_with("...")) continue;
    char strongest =
        *std::find_first_of(kStrength.begin(), kStrength.end(), t.trail.begin(), t.trail.end());
    std::string rest = t.trail;
    std::erase_if(rest, isMark);
    t.trail = strongest + rest;
  }
}

void closeSentence(FormatTokens& tokens) {
  if (tokens.empty()) return;
  FormatToken& last = tokens.back();
  if (last.is_break || last.foreign || endsSentence(last)) return;
  std::size_t start = tokens.size() - 1;
  while (start > 0 && !endsSentence(tokens[start - 1])) --start;
  char mark = opensQuestion(tokens, start) ? '?' : '.';
  // An abbreviation's own full stop closes the sentence too: "Ask Dr." and not "Ask Dr..".
  if (mark == '.' && last.text.ends_with('.') && last.trail.empty()) return;
  putMark(last, mark);
}

}  // namespace text
