#include "platform/text/spoken_numbers.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/text/number_reader.h"
#include "platform/text/spoken_digits.h"
#include "platform/text/spoken_quantities.h"

namespace text {
namespace {

constexpr std::array<std::string_view, 12> kMonths = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};

// Before these an hour and minutes are more likely a year: "in eleven fifty".
constexpr std::array<std::string_view, 5> kYearWords = {"in", "since", "year", "during", "of"};

// After these "6.30" is a time the engine wrote with a dot.
constexpr std::array<std::string_view, 8> kTimeWords = {"at",     "by",    "until", "till",
                                                        "before", "after", "from",  "around"};

constexpr std::array<std::pair<std::string_view, int>, 9> kDecades = {{{"twenties", 20},
                                                                       {"thirties", 30},
                                                                       {"forties", 40},
                                                                       {"fifties", 50},
                                                                       {"sixties", 60},
                                                                       {"seventies", 70},
                                                                       {"eighties", 80},
                                                                       {"nineties", 90},
                                                                       {"hundreds", 0}}};

// Between "the" and a decade: "the early sixties".
constexpr std::array<std::string_view, 4> kDecadeModifiers = {"early", "mid", "late", "roaring"};

// The first half of a year said in pairs: "eleven" to "nineteen", and "twenty".
bool isCentury(NumberWord n) {
  return (n.kind == NumberKind::kTeen && n.value >= 11) ||
         (n.kind == NumberKind::kTens && n.value == 20);
}

int decadeWord(std::string_view lower) {
  for (const auto& [word, value] : kDecades) {
    if (word == lower) return value;
  }
  return -1;
}

// Two digits as said after an hour or a century: "oh five", "fifteen", "forty five", with tens up
// to `top_tens`. Value and end.
std::optional<Phrase> readTwoDigits(const NumberReader& r, std::size_t i, std::int64_t top_tens) {
  if (!r.inner(i)) return std::nullopt;
  if ((r.word(i) == "oh" || r.word(i) == "o") && r.flows(i) && r.inner(i + 1)) {
    NumberWord n = numberWord(r.word(i + 1));
    if (n.kind == NumberKind::kUnit && n.value > 0) return Phrase{n.value, i + 2};
    return std::nullopt;
  }
  NumberWord n = numberWord(r.word(i));
  if (n.kind == NumberKind::kTeen) return Phrase{n.value, i + 1};
  if (n.kind != NumberKind::kTens || n.value > top_tens) return std::nullopt;
  if (r.flows(i) && r.inner(i + 1)) {
    NumberWord unit = numberWord(r.word(i + 1));
    if (unit.kind == NumberKind::kUnit && unit.value > 0)
      return Phrase{n.value + unit.value, i + 2};
  }
  return Phrase{n.value, i + 1};
}

// "a m", "p m", "am", "p.m.", "p.m": "AM" or "PM", and the end.
std::optional<std::pair<std::string_view, std::size_t>> readMeridiem(const NumberReader& r,
                                                                     std::size_t i) {
  if (!r.inner(i)) return std::nullopt;
  const std::string& w = r.word(i);
  bool am = w == "a" || w == "am" || w == "a.m" || w == "a.m.";
  bool pm = w == "p" || w == "pm" || w == "p.m" || w == "p.m.";
  if (!am && !pm) return std::nullopt;
  std::string_view half = am ? "AM" : "PM";
  if (w.size() > 1) return std::pair{half, i + 1};
  if (r.flows(i) && r.is(i + 1, "m")) return std::pair{half, i + 2};
  return std::nullopt;
}

bool isUnitAfter(const NumberReader& r, std::size_t i) {
  const std::string& w = r.word(i);
  return w == "dollars" || w == "dollar" || w == "cents" || w == "percent" || w == "per";
}

bool writeDate(NumberReader& r, std::size_t i) {
  std::size_t end = i;
  int day = 0;
  NumberWord tens = numberWord(r.word(i));
  if (tens.kind == NumberKind::kTens && tens.value <= 30 && r.flows(i) && r.inner(i + 1)) {
    int unit = ordinalWord(r.word(i + 1));
    if (unit > 0 && unit < 10) {
      day = static_cast<int>(tens.value) + unit;
      end = i + 2;
    }
  }
  if (day == 0) {
    day = ordinalWord(r.word(i));
    end = i + 1;
  }
  if (day == 0 || day > 31) return false;
  bool month_before = i > 0 && !monthName(r.word(i - 1)).empty() && r.flows(i - 1) && r.open(i - 1);
  bool month_after = r.flows(end - 1) && r.is(end, "of") && r.flows(end) &&
                     !monthName(r.word(end + 1)).empty() && r.inner(end + 1);
  if (!month_before && !month_after) return false;
  if (month_before) r.settleMonth(i - 1);
  if (month_after) r.settleMonth(end + 1);
  r.replace(i, end, std::to_string(day) + ordinalSuffix(day));
  return true;
}

bool writeTime(NumberReader& r, std::size_t i) {
  NumberWord hour = numberWord(r.word(i));
  if ((hour.kind != NumberKind::kUnit && hour.kind != NumberKind::kTeen) || hour.value < 1 ||
      hour.value > 12) {
    return false;
  }
  std::size_t end = i + 1;
  std::optional<Phrase> minutes;
  bool oclock = false;
  if (r.flows(i)) {
    if (r.is(i + 1, "o'clock")) {
      oclock = true;
      end = i + 2;
    } else if ((minutes = readTwoDigits(r, i + 1, 50))) {
      end = minutes->end;
    }
  }
  std::optional<std::pair<std::string_view, std::size_t>> meridiem;
  if (!oclock && r.flows(end - 1)) meridiem = readMeridiem(r, end);
  if (meridiem) {
    end = meridiem->second;
  } else if (!oclock) {
    if (!minutes) return false;
    bool year_before =
        i > 0 && std::find(kYearWords.begin(), kYearWords.end(), r.word(i - 1)) != kYearWords.end();
    if (year_before || (r.flows(end - 1) && isUnitAfter(r, end))) return false;
  }
  std::string text = std::to_string(hour.value);
  if (minutes) {
    text += minutes->value < 10 ? ":0" : ":";
    text += std::to_string(minutes->value);
  }
  if (oclock) text += " o'clock";
  if (meridiem) {
    text += ' ';
    text += meridiem->first;
  }
  r.replace(i, end, text);
  return true;
}

// Times in the engine's own numerals: "6.30" after "at" and the like ("at 6:30"), and "10 p.m.",
// "6.30 pm", "7:15 a m" with the half of the day written "AM" / "PM".
bool writeNumeralTime(NumberReader& r, std::size_t i) {
  const std::string& w = r.word(i);
  std::size_t split = w.find_first_of(".:");
  std::string_view hour_digits = std::string_view(w).substr(0, split);
  std::string_view minute_digits =
      split == std::string::npos ? std::string_view() : std::string_view(w).substr(split + 1);
  auto digits = [](std::string_view d) {
    return std::all_of(d.begin(), d.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (hour_digits.empty() || hour_digits.size() > 2 || !digits(hour_digits) ||
      (split != std::string::npos && (minute_digits.size() != 2 || !digits(minute_digits)))) {
    return false;
  }
  int hour = std::stoi(std::string(hour_digits));
  int minutes = minute_digits.empty() ? 0 : std::stoi(std::string(minute_digits));
  if (hour > 23 || minutes > 59) return false;
  std::optional<std::pair<std::string_view, std::size_t>> meridiem;
  if (r.flows(i) && hour >= 1 && hour <= 12) meridiem = readMeridiem(r, i + 1);
  bool after_time_word =
      i > 0 && r.open(i - 1) && r.flows(i - 1) &&
      std::find(kTimeWords.begin(), kTimeWords.end(), r.word(i - 1)) != kTimeWords.end();
  // A bare numeral after "at" ("at 9") has no separator to read: only "6.30" is a time.
  bool dotted = split != std::string::npos && w[split] == '.';
  if (!meridiem && !(after_time_word && dotted)) return false;
  std::string text(hour_digits);
  if (!minute_digits.empty()) {
    text += ':';
    text += minute_digits;
  }
  if (meridiem) {
    text += ' ';
    text += meridiem->first;
  }
  r.replace(i, meridiem ? meridiem->second : i + 1, text);
  return true;
}

bool writeYear(NumberReader& r, std::size_t i) {
  NumberWord century = numberWord(r.word(i));
  bool fits = isCentury(century);
  if (!fits || !r.flows(i)) return false;
  std::optional<Phrase> rest = readTwoDigits(r, i + 1, 90);
  if (!rest) return false;
  // "nineteen sixty five" and not "nineteen sixty five hundred": a scale after it is a cardinal.
  NumberKind after = numberWord(r.word(rest->end)).kind;
  if (r.flows(rest->end - 1) && (after == NumberKind::kHundred || after == NumberKind::kScale))
    return false;
  r.replace(i, rest->end, std::to_string(century.value * 100 + rest->value));
  return true;
}

// Ordinals of ten and more said in words, and every compound one: "twenty first" -> "21st",
// "one hundred and first" -> "101st", "one hundredth" -> "100th", "the fifteenth" -> "15th".
// Below ten they stay words ("the first to arrive"), as do fractions ("a hundredth").
bool writeOrdinal(NumberReader& r, std::size_t i) {
  int alone = ordinalWord(r.word(i));
  if (alone >= 11 && alone < 100) {
    r.replace(i, i + 1, std::to_string(alone) + ordinalSuffix(alone));
    return true;
  }
  std::optional<Phrase> cardinal = readCardinal(r, i);
  if (!cardinal || !r.flows(cardinal->end - 1)) return false;
  std::size_t at = cardinal->end;
  if (r.is(at, "and") && r.flows(at) && cardinal->value % 100 == 0) ++at;
  if (!r.inner(at)) return false;
  std::int64_t c = cardinal->value, o = ordinalWord(r.word(at)), value = 0;
  if (o > 0 && o < 10 && c >= 20 && c % 10 == 0 && (c < 100 || c % 100 == 0 || c % 100 >= 20)) {
    value = c + o;
  } else if (o >= 10 && o < 100 && c >= 100 && c % 100 == 0) {
    value = c + o;
  } else if (o >= 100 && c > 0 && c < 1000) {
    value = c * o;
  }
  if (value == 0 || value > INT32_MAX) return false;
  r.replace(i, at + 1, std::to_string(value) + ordinalSuffix(static_cast<int>(value % 100)));
  return true;
}

// Decades: "nineteen eighties" -> "1980s" (also as the engine hears it, "nineteen eighty S"),
// "nineteen hundreds" -> "1900s", and after "the" a decade alone: "the sixties" -> "the '60s".
// Without "the" it is an age ("in her sixties") and stays a word.
bool writeDecade(NumberReader& r, std::size_t i) {
  int alone = decadeWord(r.word(i));
  if (alone > 0) {
    std::size_t before = i;
    if (before > 0 && r.inner(before - 1) && r.flows(before - 1) &&
        std::find(kDecadeModifiers.begin(), kDecadeModifiers.end(), r.word(before - 1)) !=
            kDecadeModifiers.end()) {
      --before;
    }
    if (before == 0 || r.word(before - 1) != "the" || !r.flows(before - 1)) return false;
    // Built by appending: GCC 12 warns, wrongly, of overlapping copies in "'" + std::string.
    std::string decade(1, '\'');
    decade += std::to_string(alone);
    decade += 's';
    r.replace(i, i + 1, decade);
    return true;
  }
  NumberWord century = numberWord(r.word(i));
  bool fits = isCentury(century);
  if (!fits || !r.flows(i) || !r.inner(i + 1)) return false;
  int decade = decadeWord(r.word(i + 1));
  std::size_t end = i + 2;
  NumberWord tens = numberWord(r.word(i + 1));
  if (decade < 0 && tens.kind == NumberKind::kTens && r.flows(i + 1) && r.is(i + 2, "s")) {
    decade = static_cast<int>(tens.value);
    end = i + 3;
  }
  if (decade < 0) return false;
  r.replace(i, end, std::to_string(century.value * 100 + decade) + "s");
  return true;
}

}  // namespace

bool isNumberWord(std::string_view lower) {
  return numberWord(lower).kind != NumberKind::kNone || ordinalWord(lower) != 0;
}

std::string_view monthName(std::string_view lower) {
  for (std::string_view month : kMonths) {
    if (isWord(month, lower)) return month;
  }
  return {};
}

void writeNumbers(FormatTokens& tokens) {
  NumberReader r(tokens);
  for (std::size_t i = 0; i < r.size(); ++i) {
    if (!r.open(i)) continue;
    writeDigitString(r, i) || writeDate(r, i) || writeOrdinal(r, i) || writeTime(r, i) ||
        writeNumeralTime(r, i) || writeDecade(r, i) || writeYear(r, i) || writeQuantity(r, i);
  }
}

}  // namespace text
