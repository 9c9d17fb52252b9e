#include "platform/speech/moonshine/tokenizer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/temp_dir.h"

namespace speech::moonshine {
namespace {

namespace fs = std::filesystem;
using ::testing::AllOf;
using ::testing::HasSubstr;

const std::string kVocabulary = std::string(VORLIN_MOONSHINE_MODEL_DIR) + "/tokenizer.txt";

std::string fromHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

struct Case {
  std::vector<std::int32_t> tokens;
  std::string text;
};

// The cases tests/oracle/tokenizer_cases.js wrote with the reference decoder.
std::vector<Case> referenceCases() {
  std::ifstream in(std::string(VORLIN_MOONSHINE_TESTDATA) + "/tokenizer_cases.txt");
  std::vector<Case> cases;
  for (std::string line; std::getline(in, line);) {
    std::size_t tab = line.find('\t');
    if (tab == std::string::npos) throw std::runtime_error("no tab in case: " + line);
    Case c;
    std::istringstream ids(line.substr(0, tab));
    for (std::int32_t id; ids >> id;) c.tokens.push_back(id);
    c.text = fromHex(line.substr(tab + 1));
    cases.push_back(std::move(c));
  }
  return cases;
}

using testing_support::TempDir;

const Tokenizer& modelTokenizer() {
  static const Tokenizer tokenizer = Tokenizer::load(kVocabulary);
  return tokenizer;
}

TEST(TokenizerTest, DecodesAsTheReferenceDecoder) {
  // Recordings' token ids, spacing, byte-fallback characters whole, cut short and ill-formed.
  std::vector<Case> cases = referenceCases();
  ASSERT_GE(cases.size(), 60u);
  EXPECT_EQ(modelTokenizer().size(), 32000u);
  for (const Case& c : cases) {
    EXPECT_EQ(modelTokenizer().decode(c.tokens), c.text)
        << "tokens: " << ::testing::PrintToString(c.tokens);
  }
}

TEST(TokenizerTest, ControlPiecesAndIdsBeyondTheVocabularyGiveNothing) {
  const Tokenizer& tokenizer = modelTokenizer();
  // " Go forward ten meters." with the byte pieces of "é" around it.
  std::vector<std::int32_t> plain = {198, 2921, 6375, 3006, 27881, 29889, 172};
  std::string text = tokenizer.decode(plain);
  EXPECT_EQ(text, "\xEF\xBF\xBD Go forward ten meters.\xEF\xBF\xBD");
  // The model's start and end tokens, <unk>, and the outputs the vocabulary has no piece for,
  // even between the two bytes of one character.
  std::vector<std::int32_t> noisy = {1,    0,  198,  32000,     172,   2,         2921,  32767,
                                     6375, -1, 3006, INT32_MIN, 27881, INT32_MAX, 29889, 2};
  EXPECT_EQ(tokenizer.decode(noisy), "\xC3\xA9 Go forward ten meters.");
  EXPECT_EQ(tokenizer.decode(std::vector<std::int32_t>{1, 2, 0, 32000}), "");
  // Only the first space is dropped, however the text begins.
  EXPECT_EQ(tokenizer.decode(std::vector<std::int32_t>{1, 29871, 2921}), " Go");
}

TEST(TokenizerTest, ReadsPiecesByLineFeedsOnly) {
  TempDir dir;
  const std::string controls = "<unk>\n<s>\n</s>\n";
  // A carriage return belongs to its piece; one line feed at the end closes the last piece.
  for (const std::string& tail :
       {std::string("x\r\n\xE2\x96\x81y"), std::string("x\r\n\xE2\x96\x81y\n")}) {
    Tokenizer tokenizer = Tokenizer::load(dir.write("vocab.txt", controls + tail));
    EXPECT_EQ(tokenizer.size(), 5u);
    EXPECT_EQ(tokenizer.decode(std::vector<std::int32_t>{4, 3, 1, 5}), "yx\r");
  }
  // A vocabulary of control pieces alone decodes everything to nothing.
  EXPECT_EQ(Tokenizer::load(dir.write("controls.txt", controls))
                .decode(std::vector<std::int32_t>{0, 1, 2, 3}),
            "");
}

std::string loadError(const std::string& path) {
  try {
    Tokenizer::load(path);
  } catch (const Error& e) {
    return e.what();
  }
  return "(loaded)";
}

TEST(TokenizerTest, LoadErrorsNameTheFileAndTheFault) {
  TempDir dir;
  std::string missing = dir.write("gone.txt", "");
  fs::remove(missing);
  // A directory, a named pipe with no writer, and a file far too large to be a vocabulary are
  // refused before being read.
  std::string pipe = (dir.path() / "pipe").string();
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  std::string huge = dir.write("huge.txt", "");
  fs::resize_file(huge, 64 * 1024 * 1024);
  struct Bad {
    std::string path, fault;
  };
  const std::vector<Bad> cases = {
      {dir.write("empty.txt", ""), "is empty"},
      {dir.write("hole.txt", "<unk>\n<s>\n</s>\na\n\nb\n"), "line 5 is empty"},
      {dir.write("latin1.txt", "<unk>\n<s>\n</s>\nna\xEFve\n"), "line 4 is not UTF-8"},
      {dir.write("order.txt", "<s>\n<unk>\n</s>\n"), "line 1 is not the control piece <unk>"},
      {dir.write("short.txt", "<unk>\n<s>\n"), "line 3 is missing"},
      {dir.write("onnx.txt", std::string("\x08\x0a\x12\x00\xff", 5)),
       "line 1 is not the control piece"},
      {missing, "No such file"},
      {dir.path().string(), "not a regular file"},
      {pipe, "not a regular file"},
      {huge, "67108864 bytes"},
  };
  for (const Bad& bad : cases) {
    EXPECT_THAT(loadError(bad.path), AllOf(HasSubstr(bad.path), HasSubstr(bad.fault)));
  }
}

TEST(TokenizerEncodeTest, WritesTheModelsOwnTokensForItsTexts) {
  // The model's readings of the recordings are in its tokenizer's own merges: encoding their
  // text must give the same ids back.
  int compared = 0;
  for (const Case& c : referenceCases()) {
    // Byte pieces spell what the cases made up by hand, not what the model wrote.
    bool text_pieces =
        std::all_of(c.tokens.begin(), c.tokens.end(), [](std::int32_t t) { return t >= 3 + 256; });
    if (c.tokens.size() < 5 || !text_pieces) continue;
    EXPECT_EQ(modelTokenizer().encode(c.text), c.tokens) << c.text;
    ++compared;
  }
  EXPECT_GE(compared, 10);
  EXPECT_EQ(modelTokenizer().encode("Hey Vorlin"), (std::vector<std::int32_t>{18637, 6266, 1915}));
}

TEST(TokenizerEncodeTest, CharactersWithoutAPieceAreWrittenInBytes) {
  std::string text = "ok \xF0\x9F\xA6\x80";  // a crab, which no piece spells
  std::vector<std::int32_t> tokens = modelTokenizer().encode(text);
  EXPECT_EQ(modelTokenizer().decode(tokens), text);
  EXPECT_EQ(tokens.back(), 3 + 0x80);
}

TEST(TokenizerEncodeTest, TellsWordContinuationsAndClauseEnds) {
  const Tokenizer& t = modelTokenizer();
  std::vector<std::int32_t> name = t.encode("Vorlin");  // "▁Vor" "lin"
  ASSERT_EQ(name.size(), 2u);
  EXPECT_FALSE(t.continuesWord(name[0]));
  EXPECT_TRUE(t.continuesWord(name[1]));
  std::vector<std::int32_t> comma = t.encode("Hey,");
  EXPECT_TRUE(t.endsClause(comma.back()));
  EXPECT_FALSE(t.endsClause(name[1]));
  EXPECT_FALSE(t.continuesWord(1));  // the start token
  EXPECT_FALSE(t.continuesWord(-1));
  EXPECT_FALSE(t.endsClause(1 << 20));
}

}  // namespace
}  // namespace speech::moonshine
