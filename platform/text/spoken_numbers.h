#pragma once

#include <string_view>

#include "platform/text/format_tokens.h"

namespace text {

// Writes spoken numbers as a person would write them:
// - digits said one by one: phone numbers and codes (spoken_digits.h);
// - quantities: cardinals, decimals, signs, money, percentages (spoken_quantities.h);
// - times: "three thirty p m" -> "3:30 PM", "ten a m" -> "10 AM", "at seven fifteen" -> "7:15",
//   "nine o'clock" -> "9 o'clock"; the engine's "at 6.30" -> "at 6:30", "10 p.m." -> "10 PM";
// - years: "nineteen ninety nine" -> "1999", "twenty oh five" -> "2005"; decades: "the nineteen
//   eighties" -> "the 1980s", "the sixties" -> "the '60s";
// - ordinals of ten and more and compound ones: "twenty first" -> "21st"; dates' ordinals: "the
//   third of june" -> "the 3rd of June", "march fifth" -> "March 5th"; months are capitalised
//   there, and only there for "may", "march" and "august".
// Numerals the engine wrote itself stay as they are, apart from the money, percent and sign forms.
void writeNumbers(FormatTokens& tokens);

// The words of spoken numbers, for tokenize(): "twenty-five" is two words.
bool isNumberWord(std::string_view lower);

// A month's name, capitalised, or empty.
std::string_view monthName(std::string_view lower);

}  // namespace text
