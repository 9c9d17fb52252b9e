#pragma once

#include <cstddef>

#include "platform/text/number_reader.h"

namespace text {

// Digits said one at a time from token i on, "zero" and "oh" both as 0, written as digits:
// - phone numbers of 7, 10 and 11 digits in the US forms "555-0134", "415-555-0142",
//   "1-800-555-0100" ("eight hundred" inside one of 10 or 11 is "800"); the commas the engine
//   writes between the digits or their groups go;
// - other runs of four digits or more ("four two seven one" -> "4271"), said without "hundred"
//   and with commas between every digit or none.
// Three digits or fewer, and digits in groups no phone number has ("one, two, three, four five"),
// stay words. Returns whether it wrote one.
bool writeDigitString(NumberReader& r, std::size_t i);

}  // namespace text
