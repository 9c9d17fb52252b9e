#include "platform/text/spoken_quantities.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>

namespace text {
namespace {

// Units of measure: a number before one is written in figures however small ("7 miles").
constexpr std::array<std::string_view, 40> kUnits = {
    "degree",      "degrees",     "kilogram",    "kilograms", "gram",      "grams",   "kilometer",
    "kilometers",  "kilometre",   "kilometres",  "meter",     "meters",    "metre",   "metres",
    "centimeters", "millimeters", "mile",        "miles",     "feet",      "inches",  "pounds",
    "ounces",      "liter",       "liters",      "litre",     "litres",    "gallons", "volts",
    "watts",       "kilowatts",   "megabytes",   "gigabytes", "terabytes", "hertz",   "mph",
    "celsius",     "fahrenheit",  "milliliters", "tons",      "tonnes"};

// A number said in words from token i on, as written: its text, as an amount of money when that
// differs, and the end.
struct Written {
  std::string text;
  std::string money;
  std::size_t end = 0;
  bool small = false;  // a whole number below ten: a word unless a unit follows
};

// Money and percent after a number; returns whether it wrote one.
// `money` is the number as an amount of money, when it differs.
bool writeAmount(NumberReader& r, std::size_t i, std::size_t end, const std::string& number,
                 const std::string& money = "") {
  if (!r.flows(end - 1)) return false;
  if (r.is(end, "percent") || (r.is(end, "per") && r.flows(end) && r.is(end + 1, "cent"))) {
    r.replace(i, r.is(end, "per") ? end + 2 : end + 1, number + "%");
    return true;
  }
  if (!r.is(end, "dollars") && !r.is(end, "dollar") && !r.is(end, "bucks")) return false;
  std::string text = "$" + (money.empty() ? number : money);
  std::size_t last = end + 1;
  if (r.flows(end)) {
    // "nine dollars and five cents", or without the "and".
    std::size_t at = r.is(end + 1, "and") && r.flows(end + 1) ? end + 2 : end + 1;
    std::optional<Phrase> cents = readCardinal(r, at);
    if (cents && cents->value < 100 && r.flows(cents->end - 1) &&
        (r.is(cents->end, "cents") || r.is(cents->end, "cent"))) {
      text += (cents->value < 10 ? ".0" : ".") + std::to_string(cents->value);
      last = cents->end + 1;
    }
  }
  r.replace(i, last, text);
  return true;
}

// Decimal digits after "point": "two point five". The digits and end, or none.
std::optional<std::pair<std::string, std::size_t>> readDecimals(const NumberReader& r,
                                                                std::size_t i) {
  if (!r.is(i, "point") || !r.flows(i)) return std::nullopt;
  std::string digits;
  std::size_t j = i + 1;
  while (r.inner(j)) {
    NumberWord n = numberWord(r.word(j));
    if (r.word(j) == "oh") n = {NumberKind::kUnit, 0};
    if (n.kind != NumberKind::kUnit) break;
    digits += static_cast<char>('0' + n.value);
    ++j;
    if (!r.flows(j - 1)) break;
  }
  if (digits.empty()) return std::nullopt;
  return std::pair{digits, j};
}

// A round number of millions or more, below a thousand of them: its word ("million"), or empty.
std::string_view roundScale(const NumberReader& r, const Phrase& cardinal) {
  const std::string& scale_word = r.word(cardinal.end - 1);
  NumberWord scale = numberWord(scale_word);
  if (scale.kind != NumberKind::kScale || scale.value < 1000000) return {};
  if (cardinal.value % scale.value != 0 || cardinal.value / scale.value >= 1000) return {};
  return scale_word;
}

std::optional<Written> readNumber(const NumberReader& r, std::size_t i) {
  std::optional<Phrase> cardinal = readCardinal(r, i);
  if (!cardinal) return std::nullopt;
  Written out;
  out.end = cardinal->end;
  // Four-digit amounts take a comma ("$2,500"), other four-digit numbers do not: they read as
  // years and counts ("2009 people").
  out.text = grouped(cardinal->value, 10000);
  out.money = grouped(cardinal->value, 1000);
  out.small = cardinal->value < 10;
  if (std::string_view scale = roundScale(r, *cardinal); !scale.empty()) {
    // "a million reasons" is not a count to write in figures.
    if (r.word(i) == "a") return std::nullopt;
    NumberWord n = numberWord(scale);
    out.text = out.money = std::to_string(cardinal->value / n.value) + " " + std::string(scale);
    return out;
  }
  std::optional<std::pair<std::string, std::size_t>> decimals;
  if (r.flows(out.end - 1)) decimals = readDecimals(r, out.end);
  if (!decimals) return out;
  out.text = out.money = std::to_string(cardinal->value) + "." + decimals->first;
  out.end = decimals->second;
  out.small = false;
  // "two point five billion"
  NumberWord scale = numberWord(r.word(out.end));
  if (r.flows(out.end - 1) && r.inner(out.end) && scale.kind == NumberKind::kScale &&
      scale.value >= 1000000) {
    out.text = out.money = out.text + " " + r.word(out.end);
    ++out.end;
  }
  return out;
}

bool unitAfter(const NumberReader& r, std::size_t end) {
  return r.flows(end - 1) && r.inner(end) &&
         std::find(kUnits.begin(), kUnits.end(), r.word(end)) != kUnits.end();
}

// "minus five", "negative two point five": the number with its sign, when nothing before it
// counts from ("ten minus five" is a difference) and it is no margin ("plus or minus five").
bool writeSigned(NumberReader& r, std::size_t i) {
  if ((r.word(i) != "minus" && r.word(i) != "negative") || !r.flows(i) || !r.inner(i + 1)) {
    return false;
  }
  std::string_view before = i > 0 ? std::string_view(r.word(i - 1)) : std::string_view();
  if (numberWord(before).kind != NumberKind::kNone || isNumeral(before) || before == "plus" ||
      before == "or") {
    return false;
  }
  if (isNumeral(r.word(i + 1))) {
    r.replace(i, i + 2, "-" + r.word(i + 1));
    return true;
  }
  std::optional<Written> number = readNumber(r, i + 1);
  if (!number) return false;
  r.replace(i, number->end, "-" + number->text);
  return true;
}

bool writeCardinal(NumberReader& r, std::size_t i) {
  if (isNumeral(r.word(i))) return writeAmount(r, i, i + 1, r.word(i));
  std::optional<Written> number = readNumber(r, i);
  if (!number) return false;
  if (writeAmount(r, i, number->end, number->text, number->money)) return true;
  if (number->small && !unitAfter(r, number->end)) return false;
  r.replace(i, number->end, number->text);
  return true;
}

}  // namespace

bool writeQuantity(NumberReader& r, std::size_t i) {
  return writeSigned(r, i) || writeCardinal(r, i);
}

}  // namespace text
