#pragma once

#include <string_view>

#include "platform/speech/format_tokens.h"

namespace speech {

// Writes spoken numbers as a person would write them:
// - cardinals of ten and more as numerals ("fifteen" -> "15", "one hundred and twenty thousand"
//   -> "120,000"; commas from five digits on, so four-digit numbers read like years), smaller
//   ones as words except in the forms below;
// - times: "three thirty p m" -> "3:30 PM", "ten a m" -> "10 AM", "at seven fifteen" -> "7:15",
//   "nine o'clock" -> "9 o'clock"; the engine's "at 6.30" -> "at 6:30", "10 p.m." -> "10 PM";
// - years: "nineteen ninety nine" -> "1999", "twenty oh five" -> "2005";
// - money and percentages: "twenty-five dollars" -> "$25", "nineteen dollars and ninety nine
//   cents" -> "$19.99", "forty percent" -> "40%", also after the engine's own numerals;
// - decimals: "two point five" -> "2.5";
// - dates' ordinals: "the third of june" -> "the 3rd of June", "march fifth" -> "March 5th";
//   months are capitalised there, and only there for "may", "march" and "august".
// Numerals the engine wrote itself stay as they are, apart from the money and percent forms.
void writeNumbers(FormatTokens& tokens);

// The words of spoken numbers, for tokenize(): "twenty-five" is two words.
bool isNumberWord(std::string_view lower);

// A month's name, capitalised, or empty.
std::string_view monthName(std::string_view lower);

}  // namespace speech
