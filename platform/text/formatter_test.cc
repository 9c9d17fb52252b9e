#include "platform/text/formatter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace text {
namespace {

// A word list of the Debian kind in miniature: "Mark" is also "mark", so it is no name.
const NameList& testNames() {
  static const NameList names =
      NameList::fromWords({"London", "Paris", "Susan", "Susan's", "Garcia", "Mark", "mark", "Smith",
                           "smith", "brown", "Brown", "mark's", "letter", "Vorlin"});
  return names;
}

struct Case {
  std::string engine;
  std::string want;
};

// The first segment of a dictation, still volatile: no closing mark is added, and the model's own
// full stop at its end is dropped.
std::string firstVolatile(const std::string& engine) {
  FormatContext context;
  context.names = &testNames();
  Formatted out = formatDictation(engine, context);
  EXPECT_EQ(out.joint, "") << engine;
  return out.text;
}

std::string firstCommitted(const std::string& engine) {
  FormatContext context;
  context.committed = true;
  context.names = &testNames();
  return formatDictation(engine, context).text;
}

void expectAll(const std::vector<Case>& cases, std::string (*format)(const std::string&)) {
  for (const Case& c : cases) EXPECT_EQ(format(c.engine), c.want) << "engine text: " << c.engine;
}

TEST(FormatterTest, CardinalsOfTenAndMoreBecomeNumerals) {
  expectAll({{"fifteen minutes", "15 minutes"},
             {"Bake it for thirty-five minutes,", "Bake it for 35 minutes,"},
             {"one hundred and twenty thousand people", "120,000 people"},
             {"a hundred people", "100 people"},
             {"two point five", "2.5"},
             {"three apples and twelve oranges", "Three apples and 12 oranges"},
             // A mark ends a number: these are two.
             {"twenty, five", "20, five"},
             // Unit after unit is a list, not one number.
             {"one two three", "One two three"},
             {"The town grew to 120,000 people.", "The town grew to 120,000 people"}},
            firstVolatile);
}

TEST(FormatterTest, MoneyAndPercentages) {
  expectAll({{"twenty-five dollars", "$25"},
             {"two thousand five hundred dollars", "$2,500"},
             {"nineteen dollars and ninety nine cents", "$19.99"},
             {"nine dollars ninety nine cents", "$9.99"},
             {"nine dollars ninety nine", "$9 99"},
             {"It was 25 dollars.", "It was $25"},
             {"forty percent", "40%"},
             {"forty to per cent", "40 to per cent"},
             // "twenty dollar" is the amount, "two" counts the notes: no time "2:20".
             {"two twenty dollar bills", "Two $20 bills"}},
            firstVolatile);
}

TEST(FormatterTest, TimesYearsAndDates) {
  expectAll({{"three thirty p m", "3:30 PM"},
             {"at three thirty P.M.", "At 3:30 PM"},
             {"at seven fifteen", "At 7:15"},
             {"seven oh five am", "7:05 AM"},
             {"nine o'clock", "9 o'clock"},
             {"at nine", "At nine"},
             {"Call me at 6.30 tonight.", "Call me at 6:30 tonight"},
             {"Lunch at 12.45, p.m.", "Lunch at 12:45, p.m."},
             {"It opens 10 p.m. and 7:15 a m", "It opens 10 PM and 7:15 AM"},
             {"It costs 6.30 at 6.3 or 25.30 at 9.", "It costs 6.30 at 6.3 or 25.30 at 9"},
             {"nineteen ninety nine", "1999"},
             {"in twenty twenty", "In 2020"},
             // An hour and minutes are a year after "in".
             {"in eleven fifty", "In 1150"},
             {"nineteen hundred", "1900"},
             {"the third of june", "The 3rd of June"},
             {"on the twenty-first of march", "On the 21st of March"},
             {"june twenty second", "June 22nd"},
             {"the third floor", "The third floor"},
             {"the first of all", "The first of all"}},
            firstVolatile);
}

TEST(FormatterTest, OrdinaryWordsThatLookLikeNumbersMonthsOrMarks) {
  expectAll({{"the one I like", "The one I like"},
             {"you may leave the door open", "You may leave the door open"},
             {"the soldiers march along the river", "The soldiers march along the river"},
             {"an august family", "An august family"},
             {"we met in march", "We met in March"},
             {"a second opinion", "A second opinion"},
             {"she waited for a long period of time", "She waited for a long period of time"},
             {"put a comma here", "Put a comma here"},
             {"the car came to a full stop", "The car came to a full stop"},
             {"the colon is an organ", "The colon is an organ"},
             {"we start a new line of shoes", "We start a new line of shoes"}},
            firstVolatile);
}

TEST(FormatterTest, SpokenPunctuation) {
  expectAll({{"dear mister smith comma thank you for your letter period",
              "Dear Mr. Smith, thank you for your letter."},
             {"Thank you very much, Exclamation Mark.", "Thank you very much!"},
             {"Who came to the party-question mark?", "Who came to the party?"},
             {"a semi-final", "A semi-final"},
             {"wait - what -- twenty-", "Wait - what -- twenty-"},
             {"Where did you put the keys question, Mark?", "Where did you put the keys?"},
             {"the list colon milk semicolon bread", "The list: milk; bread"},
             {"it works full stop then it stops", "It works. Then it stops"},
             {"\"quoted\" comma then", "\"Quoted,\" then"},
             {"hello new line world", "Hello\nWorld"},
             {"one new paragraph two new line.", "One\n\nTwo\n"},
             // The engine's doubled marks come out single.
             {"My flight lands at six p M..", "My flight lands at 6 PM"},
             {"Really?!", "Really?"},
             {"Wait...", "Wait..."}},
            firstVolatile);
}

TEST(FormatterTest, CommittedSegmentsCloseTheirSentence) {
  expectAll({{"remind me to call john at three thirty pm tomorrow",
              "Remind me to call John at 3:30 PM tomorrow."},
             {"is it raining in london", "Is it raining in London?"},
             {"what you need is rest", "What you need is rest."},
             {"when i was young i'm sure i'd laugh", "When I was young I'm sure I'd laugh."},
             {"it rained period is it over", "It rained. Is it over?"},
             {"The bus leaves every twenty minutes,", "The bus leaves every 20 minutes."},
             {"He said \"yes\"", "He said \"yes.\""},
             {"new line", ""},
             {"hello new line", "Hello\n"},
             {"mark the letter", "Mark the letter."},
             {"doctor brown said the doctor is here", "Dr. Brown said the doctor is here."},
             {"ask missus garcia", "Ask Mrs. Garcia."},
             {"hey vorlin", "Hey Vorlin."}},
            firstCommitted);
}

TEST(FormatterTest, NonAsciiTextIsWrittenAsTheEngineWroteIt) {
  expectAll({{"naïve café", "naïve café"}, {"日本語", "日本語"}, {"Ünïcödé twenty", "Ünïcödé 20"}},
            firstVolatile);
  expectAll({{"日本語", "日本語"}, {"café au lait", "café au lait."}}, firstCommitted);
  // A stop written apart, dropped from provisional text, leaves no space behind (found by fuzzing).
  expectAll({{"café .", "café"}, {"café ... dash .", "café -"}}, firstVolatile);
}

TEST(FormatterTest, EmptyAndBlankSegments) {
  for (const char* engine : {"", " ", "\t \n", "comma", "period."}) {
    for (bool committed : {false, true}) {
      FormatContext context{.committed = committed, .before = "", .names = &testNames()};
      Formatted out = formatDictation(engine, context);
      EXPECT_EQ(out.joint, "") << engine;
      EXPECT_EQ(out.text, "") << engine;
      context.before = "Dear John.";
      EXPECT_EQ(formatDictation(engine, context).text, "") << engine;
    }
  }
}

struct JoinCase {
  std::string before;
  std::string engine;
  std::string joint;
  std::string text;
};

TEST(FormatterTest, SegmentsJoinTheTextBeforeThem) {
  const std::vector<JoinCase> cases = {
      {"Hello world.", "How are you?", " ", "How are you?"},
      {"Hello world.", "how are you", " ", "How are you?"},
      // The sentence goes on: the engine's capital on its first word is taken back.
      {"Dear John,", "Thank you for the flowers.", " ", "thank you for the flowers."},
      {"Dear John,", "Susan sends her love", " ", "Susan sends her love."},
      {"Dear John,\n", "thank you", "", "Thank you."},
      // A mark said first goes onto the text before.
      {"Dear John", "comma thank you", ", ", "thank you."},
      {"Are you there", "question mark yes", "? ", "Yes."},
      {"Dear John", "new line thank you", "\n", "Thank you."},
      {"Dear John,", "new paragraph thank you", "\n\n", "Thank you."},
      {"She said \"thank you", "close quote and left", "\" ", "and left."},
      // Committed text is never rewritten: its own mark stays, the spoken one goes.
      {"Dear John.", "comma thank you", " ", "Thank you."},
      {"Dear John", "period", ".", ""},
      {"Dear John", "", "", ""},
      {"Dear John   ", "yes", " ", "yes."},
      // At the start of a dictation a mark has nothing to attach to.
      {"", "comma thank you", "", "Thank you."},
  };
  for (const JoinCase& c : cases) {
    FormatContext context{.committed = true, .before = c.before, .names = &testNames()};
    Formatted out = formatDictation(c.engine, context);
    EXPECT_EQ(out.joint, c.joint) << c.before << " | " << c.engine;
    EXPECT_EQ(out.text, c.text) << c.before << " | " << c.engine;
  }
}

TEST(FormatterTest, NumberSplitAcrossResultsOfOneSegment) {
  FormatContext context{.committed = false, .before = "", .names = &testNames()};
  EXPECT_EQ(formatDictation("I paid twenty", context).text, "I paid 20");
  EXPECT_EQ(formatDictation("I paid twenty five", context).text, "I paid 25");
  EXPECT_EQ(formatDictation("I paid twenty five dollars and", context).text, "I paid $25 and");
  context.committed = true;
  EXPECT_EQ(formatDictation("I paid twenty five dollars and fifty cents", context).text,
            "I paid $25.50.");
  context = {.committed = false, .before = "", .names = &testNames()};
  EXPECT_EQ(formatDictation("at three", context).text, "At three");
  EXPECT_EQ(formatDictation("at three thirty", context).text, "At 3:30");
  EXPECT_EQ(formatDictation("at three thirty p", context).text, "At 3:30 p");
  EXPECT_EQ(formatDictation("at three thirty p m", context).text, "At 3:30 PM");
}

// Issue 17: the harder things people dictate. Each table ends with the near misses that must stay
// words.
TEST(FormatterTest, DigitsSaidOneByOne) {
  expectAll(
      {{"call me at five five five oh one three four", "Call me at 555-0134"},
       {"dial one eight hundred five five five oh one hundred now", "Dial 1-800-555-0100 now"},
       {"Call me at five, five, five, o, one, three, four.", "Call me at 555-0134"},
       {"my code is four two seven one", "My code is 4271"},
       {"three one four one five", "31415"},
       // Near misses: three digits, a list, a count, groups no phone number has, a time.
       {"one two three go", "One two three go"},
       {"one, two, three, four five", "One, two, three, four five"},
       {"five five five, oh one", "Five five five, oh one"},
       {"five hundred people", "500 people"},
       {"seven oh five am", "7:05 AM"}},
      firstVolatile);
}

TEST(FormatterTest, AddressesSpelledInWords) {
  expectAll({{"send it to jane dot doe at example dot com", "Send it to jane.doe@example.com"},
             {"email bob underscore smith at mail dot net period", "Email bob_smith@mail.net."},
             {"W W W W dot Library dot Org", "www.library.org"},
             {"go to example dot com slash pricing slash plans", "Go to example.com/pricing/plans"},
             {"Send it to jain.bul at example.com", "Send it to jain.bul@example.com"},
             {"Jane at Example dot Co dot UK, then", "jane@example.co.uk, then"},
             // Near misses: no domain, a pronoun before "at", a determiner before "dot".
             {"dot the i's", "Dot the i's"},
             {"one of them is at the end", "One of them is at the end"},
             {"look at example dot com", "Look at example.com"},
             {"meet me at the office dot", "Meet me at the office dot"},
             {"example dot con", "Example dot con"}},
            firstVolatile);
}

TEST(FormatterTest, OrdinalsOfTenAndMoreAndCompoundOnes) {
  expectAll({{"she finished twenty first", "She finished 21st"},
             {"the thirty-second floor", "The 32nd floor"},
             {"the one hundred and first time", "The 101st time"},
             {"the fifteenth century", "The 15th century"},
             // Near misses: ordinals below ten, fractions, a cardinal before a plain ordinal.
             {"the first to arrive", "The first to arrive"},
             {"one third of it", "One third of it"},
             {"a hundredth of a second", "A hundredth of a second"},
             {"twenty five first", "25 first"}},
            firstVolatile);
}

TEST(FormatterTest, Decades) {
  expectAll({{"the nineteen eighties", "The 1980s"},
             {"in the sixties", "In the '60s"},
             {"the nineteen hundreds", "The 1900s"},
             {"in the nineteen eighty S..", "In the 1980s"},
             // Near misses: an age, a year.
             {"in her sixties", "In her sixties"},
             {"nineteen eighty", "1980"}},
            firstVolatile);
}

TEST(FormatterTest, SignedNumbersDecimalsLargeNumbersAndUnits) {
  expectAll({{"minus five degrees", "-5 degrees"},
             {"minus two point five", "-2.5"},
             {"it was minus 5 outside", "It was -5 outside"},
             {"two point three kilograms", "2.3 kilograms"},
             {"three million people", "3 million people"},
             {"two point five billion dollars", "$2.5 billion"},
             {"three million five hundred thousand", "3,500,000"},
             {"we walked seven miles", "We walked 7 miles"},
             // Near misses: a difference, no number after the sign, "a million", no unit.
             {"ten minus five", "10 minus five"},
             {"plus or minus five", "Plus or minus five"},
             {"a minus grade", "A minus grade"},
             {"a million reasons", "A million reasons"},
             {"two weeks", "Two weeks"}},
            firstVolatile);
}

TEST(FormatterTest, QuotesBracketsAndDashesSaid) {
  expectAll({{"she said open quote i will be there close quote", "She said \"I will be there.\""},
             {"She said open quote, thank you, close quote and left",
              "She said \"thank you,\" and left."},
             {"the meeting open paren on friday close paren was moved",
              "The meeting (on Friday) was moved."},
             {"The answer is yes, dash mostly.", "The answer is yes - mostly."},
             {"you need three things colon milk comma eggs", "You need three things: milk, eggs."},
             // Near misses: the verb, the noun, an opening mark with no word after it.
             {"I have to dash", "I have to dash."},
             {"a dash of salt", "A dash of salt."},
             {"she said open quote", "She said."}},
            firstCommitted);
}

TEST(FormatterTest, ProvisionalTextHasNoStopTheModelPutAtTheEndOfWhatItHeardSoFar) {
  struct Provisional {
    std::string engine;
    std::string shown;      // volatile
    std::string committed;  // the same text once the segment has ended
  };
  const std::vector<Provisional> cases = {
      {"There is no telling how much there might.", "There is no telling how much there might",
       "There is no telling how much there might."},
      {"He said \"yes.\"", "He said \"yes\"", "He said \"yes.\""},
      // What the speaker said, asked or trailed off with stays.
      {"thank you period.", "Thank you.", "Thank you."},
      {"Is it over?", "Is it over?", "Is it over?"},
      {"Wait...", "Wait...", "Wait..."},
      {"Ask Dr.", "Ask Dr.", "Ask Dr."},
  };
  for (const Provisional& c : cases) {
    EXPECT_EQ(firstVolatile(c.engine), c.shown) << c.engine;
    EXPECT_EQ(firstCommitted(c.engine), c.committed) << c.engine;
  }
}

TEST(NameListTest, NamesAreCapitalisedWordsWithNoLowerCaseTwin) {
  const NameList& names = testNames();
  EXPECT_TRUE(names.contains("susan"));
  EXPECT_TRUE(names.contains("london"));
  EXPECT_FALSE(names.contains("mark"));
  EXPECT_FALSE(names.contains("brown"));
  EXPECT_FALSE(names.contains("letter"));
  EXPECT_FALSE(names.contains("susan's"));
  EXPECT_FALSE(names.contains("Susan"));
  EXPECT_FALSE(names.contains(""));
  EXPECT_TRUE(NameList().size() == 0 && !NameList().contains("a"));
}

TEST(NameListTest, LoadsAListFromAFileAndNamesAMissingOne) {
  std::string path = ::testing::TempDir() + "names_test.txt";
  {
    std::ofstream file(path, std::ios::binary);
    file << "Ada\r\nada's\nZoe\nzoe\nBob\n\n\xc3\x89mile\nbob's";
  }
  NameList names = NameList::load(path);
  EXPECT_EQ(names.size(), 2u);
  EXPECT_TRUE(names.contains("ada"));
  EXPECT_TRUE(names.contains("bob"));
  EXPECT_FALSE(names.contains("zoe"));
  std::remove(path.c_str());
  try {
    NameList::load(path);
    FAIL() << "a missing list loaded";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
  }
}

TEST(NameListTest, TheInstalledListKnowsCommonNames) {
  const NameList& names = NameList::installed();
  EXPECT_GT(names.size(), 5000u);
  EXPECT_TRUE(names.contains("susan"));
  EXPECT_TRUE(names.contains("boston"));
  EXPECT_FALSE(names.contains("march"));
  EXPECT_FALSE(names.contains("the"));
  FormatContext context;
  context.committed = true;
  EXPECT_EQ(formatDictation("george and emily visited paris", context).text,
            "George and Emily visited Paris.");
}

}  // namespace
}  // namespace text
