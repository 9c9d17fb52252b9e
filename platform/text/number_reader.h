#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text/format_tokens.h"

namespace text {

// The words of spoken numbers and how the number rules read a segment's tokens.

enum class NumberKind { kNone, kUnit, kTeen, kTens, kHundred, kScale };

struct NumberWord {
  NumberKind kind;
  std::int64_t value;
};

// The number a word names, or kNone.
NumberWord numberWord(std::string_view lower);
// The value of an ordinal word ("first", "twentieth", "hundredth"), or 0.
int ordinalWord(std::string_view lower);
// Commas between thousands from `from` on.
std::string grouped(std::int64_t value, std::int64_t from);
std::string ordinalSuffix(int value);  // "st", "nd", "rd" or "th"
// Digits, possibly with thousands' commas and a decimal point: what the engine writes itself.
bool isNumeral(std::string_view text);

// The tokens as the number rules read them.
class NumberReader {
 public:
  explicit NumberReader(FormatTokens& tokens);

  std::size_t size() const { return tokens_.size(); }
  // A word the rules may read: there, not a break, not in another script, not settled.
  bool open(std::size_t i) const {
    return i < tokens_.size() && !tokens_[i].is_break && !tokens_[i].foreign && !tokens_[i].settled;
  }
  // One that may go on a phrase: a quote or bracket before it starts a new one.
  bool inner(std::size_t i) const { return open(i) && tokens_[i].lead.empty(); }
  // The phrase may go on after token i (which must be there): no mark or quote closes it.
  bool flows(std::size_t i) const { return tokens_[i].trail.empty(); }
  // What is written after token i (which must be there): marks, closing quotes and brackets.
  const std::string& trail(std::size_t i) const { return tokens_[i].trail; }
  const std::string& word(std::size_t i) const {
    static const std::string kNothing;
    return i < lower_.size() ? lower_[i] : kNothing;
  }
  bool is(std::size_t i, std::string_view lower) const { return inner(i) && word(i) == lower; }

  // Replaces tokens [begin, end) by one settled word that keeps the outer punctuation.
  void replace(std::size_t begin, std::size_t end, std::string text);
  // Writes token i, a month's name, capitalised and settled.
  void settleMonth(std::size_t i);

 private:
  FormatTokens& tokens_;
  std::vector<std::string> lower_;
};

struct Phrase {
  std::int64_t value = 0;
  std::size_t end = 0;  // one past its last token
};

// A cardinal spelled in words from token i on: "three hundred and fifty", "a thousand".
std::optional<Phrase> readCardinal(const NumberReader& r, std::size_t i);

}  // namespace text
