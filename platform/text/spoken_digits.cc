#include "platform/text/spoken_digits.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace text {
namespace {

struct DigitRun {
  std::string digits;
  std::vector<std::size_t> commas;  // how many digits come before each comma
  std::size_t words = 0;            // tokens read
  bool hundreds = false;            // "eight hundred" for 800
  std::size_t end = 0;
};

// The digit token j names; "oh" counts only after the first digit ("oh, I see").
std::optional<char> digitOf(const NumberReader& r, std::size_t j, bool first) {
  NumberWord n = numberWord(r.word(j));
  if (n.kind == NumberKind::kUnit) return static_cast<char>('0' + n.value);
  if (!first && (r.word(j) == "oh" || r.word(j) == "o")) return '0';
  return std::nullopt;
}

DigitRun readDigitRun(const NumberReader& r, std::size_t i) {
  DigitRun run;
  std::size_t j = i;
  while (j == i ? r.open(j) : r.inner(j)) {
    if (std::optional<char> digit = digitOf(r, j, j == i)) {
      run.digits += *digit;
    } else if (j > i && r.word(j) == "hundred" && digitOf(r, j - 1, true)) {
      run.digits += "00";
      run.hundreds = true;
    } else {
      break;
    }
    ++j;
    if (r.flows(j - 1)) continue;
    // A comma between two digits parts groups; any other mark, or a comma before a word, ends it.
    if (r.trail(j - 1) != "," || !r.inner(j) || !digitOf(r, j, false)) break;
    run.commas.push_back(run.digits.size());
  }
  run.words = j - i;
  run.end = j;
  return run;
}

// Where a phone number of this many digits has its dashes; empty when none has.
std::vector<std::size_t> phoneDashes(const std::string& digits) {
  if (digits.size() == 7) return {3};
  if (digits.size() == 10) return {3, 6};
  if (digits.size() == 11 && digits[0] == '1') return {1, 4, 7};
  return {};
}

// Commas after every digit, as the engine writes a list of them, or none.
bool commaEveryDigit(const DigitRun& run) {
  if (run.commas.size() + 1 != run.digits.size()) return false;
  for (std::size_t k = 0; k < run.commas.size(); ++k) {
    if (run.commas[k] != k + 1) return false;
  }
  return true;
}

}  // namespace

bool writeDigitString(NumberReader& r, std::size_t i) {
  DigitRun run = readDigitRun(r, i);
  if (run.words < 3) return false;
  std::vector<std::size_t> dashes = phoneDashes(run.digits);
  // "eight hundred" is a digit group of a toll-free number, not of seven digits ("one eight
  // hundred five five five" may be the start of one, or a count and a number).
  if (run.hundreds && dashes.size() < 2) return false;
  bool commas_fit = run.commas.empty() || commaEveryDigit(run);
  bool grouped_as_phone = std::all_of(run.commas.begin(), run.commas.end(), [&](std::size_t c) {
    return std::find(dashes.begin(), dashes.end(), c) != dashes.end();
  });
  std::string text;
  if (!dashes.empty() && (commas_fit || grouped_as_phone)) {
    for (std::size_t k = 0; k < run.digits.size(); ++k) {
      if (std::find(dashes.begin(), dashes.end(), k) != dashes.end()) text += '-';
      text += run.digits[k];
    }
  } else if (run.digits.size() >= 4 && !run.hundreds && commas_fit) {
    text = run.digits;
  } else {
    return false;
  }
  r.replace(i, run.end, text);
  return true;
}

}  // namespace text
