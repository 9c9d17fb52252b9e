#include "platform/text/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace text {
namespace {

TEST(Utf8Test, WellFormedSequencesAndTheLongestStartOfIllFormedOnes) {
  struct Case {
    const char* what;
    std::string bytes;
    int length;          // utf8SequenceAt
    char32_t character;  // when well-formed
  };
  const Case cases[] = {
      {"ASCII", "a", 1, U'a'},
      {"lowest of two bytes", "\xC2\x80", 2, 0x80},
      {"highest of two bytes", "\xDF\xBF", 2, 0x7FF},
      {"lowest of three bytes", "\xE0\xA0\x80", 3, 0x800},
      {"last before the surrogates", "\xED\x9F\xBF", 3, 0xD7FF},
      {"highest of three bytes", "\xEF\xBF\xBF", 3, 0xFFFF},
      {"lowest of four bytes", "\xF0\x90\x80\x80", 4, 0x10000},
      {"highest character", "\xF4\x8F\xBF\xBF", 4, 0x10FFFF},
      {"followed by more", "\xC3\xA9z", 2, 0xE9},
      {"overlong of two bytes", "\xC0\xAF", -1, 0},
      {"overlong of three bytes", "\xE0\x80\xAF", -1, 0},
      {"overlong of four bytes", "\xF0\x80\x80\xAF", -1, 0},
      {"a surrogate", "\xED\xA0\x80", -1, 0},
      {"past U+10FFFF", "\xF4\x90\x80\x80", -1, 0},
      {"a lead byte past F4", "\xF5\x80\x80\x80", -1, 0},
      {"a lone continuation byte", "\x80", -1, 0},
      {"cut short after two of three", "\xE2\x82", -2, 0},
      {"cut short by ASCII after three of four", "\xF0\x9F\x98z", -3, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(utf8SequenceAt(c.bytes), c.length) << c.what;
    if (c.length > 0) {
      EXPECT_EQ(utf8Character(c.bytes.substr(0, static_cast<std::size_t>(c.length))), c.character)
          << c.what;
    }
    EXPECT_EQ(isUtf8(c.bytes), c.length > 0) << c.what;
  }
}

}  // namespace
}  // namespace text
