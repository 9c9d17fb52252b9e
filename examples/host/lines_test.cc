#include "examples/host/lines.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "dictate/output.h"

namespace host {
namespace {

// Lines a host really receives: transcript lines with escapes and multi-byte letters, a wake
// line, an error line, an empty line.
const std::string kStream =
    "{\"text\":\"and mister john\"}\n"
    "{\"text\":\"caf\xC3\xA9 \\\"quoted\\\" a\\/b\"}\n"
    "wake\n"
    "\n"
    "vorlin-dictate: the speech model did not install: cannot read \xE2\x80\xA6\n";

std::vector<std::string> pushAll(LineSplitter& splitter, const std::vector<std::string>& pieces) {
  std::vector<std::string> lines;
  for (const std::string& piece : pieces) {
    for (std::string& line : splitter.push(piece)) lines.push_back(line);
  }
  return lines;
}

TEST(LineSplitterTest, EveryCutOfTheStreamGivesTheSameLines) {
  LineSplitter whole;
  const std::vector<std::string> expected = whole.push(kStream);
  ASSERT_EQ(expected.size(), 5u);
  EXPECT_EQ(expected[3], "");
  EXPECT_FALSE(whole.finish());

  // Every pair of cut points, so a read may end inside a line, on a line feed or inside a UTF-8
  // sequence, and empty reads come along too.
  for (size_t a = 0; a <= kStream.size(); ++a) {
    for (size_t b = a; b <= kStream.size(); b += 7) {
      LineSplitter split;
      std::vector<std::string> lines =
          pushAll(split, {kStream.substr(0, a), kStream.substr(a, b - a), kStream.substr(b)});
      ASSERT_EQ(lines, expected) << "cut at " << a << " and " << b;
      ASSERT_FALSE(split.finish());
    }
  }

  LineSplitter bytewise;
  std::vector<std::string> pieces;
  for (char c : kStream) pieces.emplace_back(1, c);
  EXPECT_EQ(pushAll(bytewise, pieces), expected);
}

TEST(LineSplitterTest, AnUnterminatedRestComesOutOnceAtTheEnd) {
  LineSplitter splitter;
  EXPECT_TRUE(splitter.push("{\"text\":\"a\"}\n{\"te").size() == 1);
  EXPECT_TRUE(splitter.push("xt\":").empty());
  EXPECT_EQ(splitter.finish(), "{\"text\":");
  EXPECT_FALSE(splitter.finish());
  // The splitter is ready for a new stream afterwards.
  EXPECT_EQ(splitter.push("wake\n"), std::vector<std::string>{"wake"});
}

struct Decoded {
  const char* line;
  const char* text;
};

TEST(TranscriptTextTest, DecodesEveryEscapeJsonAllows) {
  const Decoded cases[] = {
      {R"({"text":""})", ""},
      {R"({"text":"a\/b \"q\" back\\slash"})", "a/b \"q\" back\\slash"},
      {R"({"text":"line\nfeed\r\ttab\b\f"})", "line\nfeed\r\ttab\b\f"},
      {R"({"text":"\u0001\u001f\u0041"})",
       "\x01\x1f"
       "A"},
      {"{\"text\":\"caf\xC3\xA9 \xE2\x80\xA6\"}", "caf\xC3\xA9 \xE2\x80\xA6"},
      {R"({"text":"\ud83d\ude00"})", "\xF0\x9F\x98\x80"},
      {R"(  { "text" : "spaced" }  )", "spaced"},
  };
  for (const Decoded& c : cases) {
    EXPECT_EQ(transcriptText(c.line), std::optional<std::string>(c.text)) << c.line;
  }
}

TEST(TranscriptTextTest, RefusesAnythingButOneTextMember) {
  const char* const cases[] = {
      "",
      "{}",
      R"({"text":"a")",
      R"({"text":"a"}x)",
      R"({"Text":"a"})",
      R"({"text":"a","more":"b"})",
      R"({"text":1})",
      R"({"text":"bad \x escape"})",
      R"({"text":"short \u12"})",
      R"({"text":"lone high \ud83d"})",
      R"({"text":"high then high \ud83d\ud83d"})",
      R"({"text":"lone low \ude00"})",
      "{\"text\":\"raw\nline feed\"}",
      R"({"text":"ends in backslash\)",
  };
  for (const char* line : cases) EXPECT_FALSE(transcriptText(line)) << line;
}

// The program's own writer on one side, the host's reader on the other: whatever the text, the
// host gets back exactly what was said (the writer trims spaces and tabs at the ends, so the
// texts here start and end with other characters).
TEST(TranscriptTextTest, ReadsBackWhatTheDictationWriterWrites) {
  std::vector<std::string> texts = {"x", "a/b", "\"\\", "caf\xC3\xA9 \xF0\x9F\x98\x80 x"};
  std::string controls = "<";
  for (int c = 0; c < 0x20; ++c) controls.push_back(static_cast<char>(c));
  texts.push_back(controls + ">");
  std::mt19937 rng(7);
  const std::string alphabet[] = {
      "a", " ", "\"", "\\", "/", "\n", "\t", "\x7f", "\xC3\xA9", "\xE2\x80\xA6", "\xF0\x9F\x98\x80",
      "{", "}", ":"};
  for (int i = 0; i < 500; ++i) {
    std::string text = "<";
    for (int n = rng() % 20; n > 0; --n) text += alphabet[rng() % std::size(alphabet)];
    texts.push_back(text + ">");
  }
  for (const std::string& text : texts) {
    std::string line = dictate::transcriptLine(text);
    ASSERT_EQ(line.back(), '\n');
    line.pop_back();
    EXPECT_EQ(transcriptText(line), text) << line;
  }
}

}  // namespace
}  // namespace host
