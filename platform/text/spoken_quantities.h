#pragma once

#include <cstddef>

#include "platform/text/number_reader.h"

namespace text {

// A quantity from token i on, as a person writes it:
// - cardinals of ten and more as numerals ("fifteen" -> "15", "one hundred and twenty thousand"
//   -> "120,000"; commas from five digits on, so four-digit numbers read like years), smaller
//   ones as words unless a unit follows ("seven miles" -> "7 miles", the unit's word kept);
// - decimals: "two point five" -> "2.5";
// - round millions and more with their word: "three million" -> "3 million", "two point five
//   billion" -> "2.5 billion"; "a million" stays words;
// - signs: "minus five" and "negative five" -> "-5", but "ten minus five" is a difference;
// - money and percentages: "twenty-five dollars" -> "$25", "nineteen dollars and ninety nine
//   cents" -> "$19.99", "three million dollars" -> "$3 million", "forty percent" -> "40%", also
//   after the engine's own numerals.
// Returns whether it wrote one.
bool writeQuantity(NumberReader& r, std::size_t i);

}  // namespace text
