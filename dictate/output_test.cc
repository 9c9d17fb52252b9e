#include "dictate/output.h"

#include <gtest/gtest.h>

namespace dictate {
namespace {

struct LineCase {
  const char* name;
  std::string text;
  std::string line;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class TranscriptLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(TranscriptLineTest, WritesCompactEscapedTrimmedJson) {
  EXPECT_EQ(transcriptLine(GetParam().text), GetParam().line + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Lines, TranscriptLineTest,
    ::testing::Values(LineCase{"Empty", "", R"({"text":""})"},
                      LineCase{"OnlySpaceSeparators", " \t\u00a0\u2003\u3000 ", R"({"text":""})"},
                      LineCase{"TrimsBothEnds", "  hello world\t", R"({"text":"hello world"})"},
                      LineCase{"KeepsInnerRuns", "a   b\t\tc", R"({"text":"a   b\t\tc"})"},
                      LineCase{"KeepsTrailingLineFeed", "hi\n", R"({"text":"hi\n"})"},
                      LineCase{"LineSeparatorIsNotTrimmed", "hi\u2028", "{\"text\":\"hi\u2028\"}"},
                      LineCase{"QuotesAndBackslash", "say \"a\\b\"", R"({"text":"say \"a\\b\""})"},
                      LineCase{"Solidus", "and/or", R"({"text":"and\/or"})"},
                      LineCase{"ControlCharacters",
                               std::string("a\x01"
                                           "b\x1f"
                                           "c\x7f",
                                           6) +
                                   std::string(1, '\0'),
                               "{\"text\":\"a\\u0001b\\u001fc\x7f\\u0000\"}"},
                      LineCase{"RawUtf8", "café naïve 日本 😀", "{\"text\":\"café naïve 日本 😀\"}"},
                      LineCase{"InvalidUtf8BecomesReplacement",
                               "a\xff"
                               "b\xc3",
                               "{\"text\":\"a\uFFFDb\uFFFD\"}"},
                      LineCase{"OverlongIsInvalid", "\xc0\xaf", "{\"text\":\"\uFFFD\uFFFD\"}"}),
    [](const auto& info) { return info.param.name; });

// say() and fail() on the real streams are checked through the whole program: lines before a
// failure and the failure's one line by lifecycle_test.cc, a transcript that cannot be written (a
// full disk, a closed output, a reader gone) on the real program by tests/dictate_e2e.py.

}  // namespace
}  // namespace dictate
