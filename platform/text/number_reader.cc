#include "platform/text/number_reader.h"

#include <algorithm>
#include <array>

#include "platform/text/spoken_numbers.h"

namespace text {
namespace {

struct Named {
  std::string_view word;
  NumberWord number;
};

constexpr std::array<Named, 33> kNumberWords = {{
    {"zero", {NumberKind::kUnit, 0}},
    {"one", {NumberKind::kUnit, 1}},
    {"two", {NumberKind::kUnit, 2}},
    {"three", {NumberKind::kUnit, 3}},
    {"four", {NumberKind::kUnit, 4}},
    {"five", {NumberKind::kUnit, 5}},
    {"six", {NumberKind::kUnit, 6}},
    {"seven", {NumberKind::kUnit, 7}},
    {"eight", {NumberKind::kUnit, 8}},
    {"nine", {NumberKind::kUnit, 9}},
    {"ten", {NumberKind::kTeen, 10}},
    {"eleven", {NumberKind::kTeen, 11}},
    {"twelve", {NumberKind::kTeen, 12}},
    {"thirteen", {NumberKind::kTeen, 13}},
    {"fourteen", {NumberKind::kTeen, 14}},
    {"fifteen", {NumberKind::kTeen, 15}},
    {"sixteen", {NumberKind::kTeen, 16}},
    {"seventeen", {NumberKind::kTeen, 17}},
    {"eighteen", {NumberKind::kTeen, 18}},
    {"nineteen", {NumberKind::kTeen, 19}},
    {"twenty", {NumberKind::kTens, 20}},
    {"thirty", {NumberKind::kTens, 30}},
    {"forty", {NumberKind::kTens, 40}},
    {"fifty", {NumberKind::kTens, 50}},
    {"sixty", {NumberKind::kTens, 60}},
    {"seventy", {NumberKind::kTens, 70}},
    {"eighty", {NumberKind::kTens, 80}},
    {"ninety", {NumberKind::kTens, 90}},
    {"hundred", {NumberKind::kHundred, 100}},
    {"thousand", {NumberKind::kScale, 1000}},
    {"million", {NumberKind::kScale, 1000000}},
    {"billion", {NumberKind::kScale, 1000000000}},
    {"trillion", {NumberKind::kScale, 1000000000000}},
}};

constexpr std::array<std::pair<std::string_view, int>, 30> kOrdinals = {{
    {"first", 1},         {"second", 2},          {"third", 3},       {"fourth", 4},
    {"fifth", 5},         {"sixth", 6},           {"seventh", 7},     {"eighth", 8},
    {"ninth", 9},         {"tenth", 10},          {"eleventh", 11},   {"twelfth", 12},
    {"thirteenth", 13},   {"fourteenth", 14},     {"fifteenth", 15},  {"sixteenth", 16},
    {"seventeenth", 17},  {"eighteenth", 18},     {"nineteenth", 19}, {"twentieth", 20},
    {"thirtieth", 30},    {"fortieth", 40},       {"fiftieth", 50},   {"sixtieth", 60},
    {"seventieth", 70},   {"eightieth", 80},      {"ninetieth", 90},  {"hundredth", 100},
    {"thousandth", 1000}, {"millionth", 1000000},
}};

}  // namespace

NumberWord numberWord(std::string_view lower) {
  for (const Named& named : kNumberWords) {
    if (named.word == lower) return named.number;
  }
  return {NumberKind::kNone, 0};
}

int ordinalWord(std::string_view lower) {
  for (const auto& [word, value] : kOrdinals) {
    if (word == lower) return value;
  }
  return 0;
}

std::string grouped(std::int64_t value, std::int64_t from) {
  std::string digits = std::to_string(value);
  if (value < from) return digits;
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string ordinalSuffix(int value) {
  int last = value % 10;
  if (value % 100 / 10 == 1 || last == 0 || last > 3) return "th";
  return last == 1 ? "st" : last == 2 ? "nd" : "rd";
}

bool isNumeral(std::string_view text) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || c == ',' || c == '.'; });
}

NumberReader::NumberReader(FormatTokens& tokens) : tokens_(tokens) {
  for (const FormatToken& token : tokens) lower_.push_back(lowered(token.text));
}

void NumberReader::replace(std::size_t begin, std::size_t end, std::string text) {
  FormatToken& first = tokens_[begin];
  first.text = std::move(text);
  first.trail = tokens_[end - 1].trail;
  first.settled = true;
  tokens_.erase(tokens_.begin() + static_cast<std::ptrdiff_t>(begin + 1),
                tokens_.begin() + static_cast<std::ptrdiff_t>(end));
  lower_.erase(lower_.begin() + static_cast<std::ptrdiff_t>(begin + 1),
               lower_.begin() + static_cast<std::ptrdiff_t>(end));
  lower_[begin] = lowered(first.text);
}

void NumberReader::settleMonth(std::size_t i) {
  std::string_view name = monthName(word(i));
  if (name.empty() || !open(i)) return;
  tokens_[i].text = name;
  tokens_[i].settled = true;
}

std::optional<Phrase> readCardinal(const NumberReader& r, std::size_t i) {
  std::int64_t total = 0, group = 0, scale_limit = INT64_MAX;
  NumberKind last = NumberKind::kNone;
  std::size_t j = i;
  while (r.open(j) && (j == i || r.inner(j))) {
    const std::string& w = r.word(j);
    if (w == "a" && j == i && r.flows(j)) {
      NumberKind next = numberWord(r.word(j + 1)).kind;
      if (!r.inner(j + 1) || (next != NumberKind::kHundred && next != NumberKind::kScale)) break;
      group = 1;
      last = NumberKind::kUnit;
      ++j;
      continue;
    }
    if (w == "and" && (last == NumberKind::kHundred || last == NumberKind::kScale) && r.flows(j) &&
        r.inner(j + 1)) {
      NumberKind next = numberWord(r.word(j + 1)).kind;
      if (next != NumberKind::kUnit && next != NumberKind::kTeen && next != NumberKind::kTens)
        break;
      ++j;
      continue;
    }
    NumberWord n = numberWord(w);
    bool small = last == NumberKind::kUnit || last == NumberKind::kTeen;
    switch (n.kind) {
      case NumberKind::kNone:
        break;
      case NumberKind::kUnit:
        if (small || (last == NumberKind::kTens && group % 10 != 0)) n.kind = NumberKind::kNone;
        break;
      case NumberKind::kTeen:
      case NumberKind::kTens:
        if (small || last == NumberKind::kTens) n.kind = NumberKind::kNone;
        break;
      case NumberKind::kHundred:
        if (group == 0 || group >= 100 || last == NumberKind::kHundred ||
            last == NumberKind::kScale) {
          n.kind = NumberKind::kNone;
        }
        break;
      case NumberKind::kScale:
        if (group == 0 || n.value >= scale_limit) n.kind = NumberKind::kNone;
        break;
    }
    if (n.kind == NumberKind::kNone) break;
    if (n.kind == NumberKind::kHundred) {
      group *= 100;
    } else if (n.kind == NumberKind::kScale) {
      total += group * n.value;
      group = 0;
      scale_limit = n.value;
    } else {
      group += n.value;
    }
    last = n.kind;
    ++j;
    if (!r.flows(j - 1)) break;
  }
  if (last == NumberKind::kNone) return std::nullopt;
  return Phrase{total + group, j};
}

}  // namespace text
