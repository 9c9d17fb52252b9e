#include "dictate/output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <functional>

#include "tests/support/child_process.h"

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
                      LineCase{"PlainWords", "hello world", R"({"text":"hello world"})"},
                      LineCase{"TrimsBothEnds", "  hello world\t", R"({"text":"hello world"})"},
                      LineCase{"TrimsNoBreakSpaces", "\u00a0hi\u00a0", R"({"text":"hi"})"},
                      LineCase{"KeepsInnerRuns", "a   b\t\tc", R"({"text":"a   b\t\tc"})"},
                      LineCase{"KeepsTrailingLineFeed", "hi\n", R"({"text":"hi\n"})"},
                      LineCase{"KeepsLeadingCarriageReturn", "\r\nhi", R"({"text":"\r\nhi"})"},
                      LineCase{"LineSeparatorIsNotTrimmed", "hi\u2028", "{\"text\":\"hi\u2028\"}"},
                      LineCase{"Quotes", "say \"hi\"", R"({"text":"say \"hi\""})"},
                      LineCase{"Backslash", "a\\b", R"({"text":"a\\b"})"},
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

TEST(SayTest, OneLinePerCall) {
  auto child = testing_support::runInChild([] {
    setUpOutput();
    say("first");
    say(" second\n");
  });
  EXPECT_EQ(child.out, "{\"text\":\"first\"}\n{\"text\":\"second\\n\"}\n");
}

TEST(FailTest, WritesPrefixedLineAndExitsOne) {
  struct Case {
    std::string message;
    std::string err;
  } cases[] = {
      {"boom", "vorlin-dictate: boom\n"},
      {"", "vorlin-dictate: \n"},
      {"two\nlines", "vorlin-dictate: two\nlines\n"},
      {"  kept as is \\ \"", "vorlin-dictate:   kept as is \\ \"\n"},
  };
  for (const Case& c : cases) {
    auto child = testing_support::runInChild([&] {
      setUpOutput();
      say("before");
      fail(c.message);
    });
    EXPECT_EQ(child.status, 1);
    EXPECT_EQ(child.err, c.err);
    // The line already said is flushed by the exit.
    EXPECT_EQ(child.out, "{\"text\":\"before\"}\n");
  }
}

// Each case points standard output somewhere else before the program's output is set up.
TEST(SayTest, AnUnwritableTranscriptFailsTheProgram) {
  struct Case {
    const char* name;
    std::function<void()> redirect;
    int status;
    std::string err;
  } cases[] = {
      {"FullDisk", [] { dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO); }, 1,
       "vorlin-dictate: cannot write the transcript: No space left on device\n"},
      {"ClosedOutput", [] { close(STDOUT_FILENO); }, 1,
       "vorlin-dictate: cannot write the transcript: Bad file descriptor\n"},
      // A reader that went away ends the program as it ends any filter, without a message.
      {"ReaderGone",
       [] {
         int ends[2];
         if (pipe(ends) != 0) _exit(97);
         close(ends[0]);
         dup2(ends[1], STDOUT_FILENO);
         std::signal(SIGPIPE, SIG_DFL);
       },
       128 + SIGPIPE, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto child = testing_support::runInChild([&] {
      c.redirect();
      setUpOutput();
      say("lost");
      say("lost again");
      std::exit(0);
    });
    EXPECT_EQ(child.status, c.status);
    EXPECT_EQ(child.err, c.err);
  }
}

}  // namespace
}  // namespace dictate
