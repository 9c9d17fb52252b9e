// libFuzzer target for the dictation formatter: whatever the engine writes and whatever came
// before, formatting neither crashes nor loses or reorders a byte outside ASCII, and the text
// has no space at its ends and no two spaces in a row. With bit 2 of the first byte set, each
// further byte picks a word the rules read (numbers, signs, marks, address words), so that random
// input reaches deep into them rather than stopping at the first unknown word.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/text/formatter.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

constexpr std::string_view kWords[] = {
    "zero",    "oh",          "one",    "two",      "five",      "twelve",    "twenty",
    "hundred", "million",     "point",  "first",    "second",    "hundredth", "eighties",
    "sixties", "the",         "minus",  "negative", "degrees",   "miles",     "dollars",
    "percent", "at",          "dot",    "com",      "org",       "slash",     "underscore",
    "dash",    "w",           "www",    "jane",     "open",      "close",     "quote",
    "paren",   "comma",       "period", "new",      "paragraph", "s",         "a",
    "and",     "p",           "m",      "of",       "june",      "nineteen",  "5",
    "6.30",    "example.com", "Dr.",    "five,",    "dot.",      "\"quote\"", "(one)",
    "café",    "a.m.",        "...",    "-",        "Com.",      "?",         "\n",
    "o"};

// The words `bytes` pick, apart by spaces.
std::string words(std::string_view bytes) {
  std::string out;
  for (unsigned char b : bytes) {
    out += kWords[b % std::size(kWords)];
    out += ' ';
  }
  return out;
}

std::string foreignBytes(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) out += c;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const text::NameList names =
      text::NameList::fromWords({"Susan", "Paris", "Mark", "mark", "June"});
  std::string_view input(reinterpret_cast<const char*>(data), size);
  // The first byte picks the context; a 0x01 byte splits the text before from the segment.
  std::uint8_t flags = size > 0 ? data[0] : 0;
  if (size > 0) input.remove_prefix(1);
  std::string_view before;
  if (std::size_t split = input.find('\x01'); split != std::string_view::npos) {
    before = input.substr(0, split);
    input.remove_prefix(split + 1);
  }
  std::string spelled;
  if ((flags & 2) != 0) {
    spelled = words(input);
    input = spelled;
  }
  text::FormatContext context{.committed = (flags & 1) != 0, .before = before, .names = &names};
  text::Formatted out = text::formatDictation(input, context);
  check(foreignBytes(out.text) == foreignBytes(input));
  check(out.text.empty() || (out.text.front() != ' ' && out.text.back() != ' '));
  check(out.text.find("  ") == std::string::npos);
  return 0;
}
