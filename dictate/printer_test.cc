#include "dictate/printer.h"

#include <gtest/gtest.h>

#include "dictate/output.h"
#include "dictate/scripted_speech_test_util.h"
#include "tests/support/child_process.h"

namespace dictate {
namespace {

using Result = speech::SpeechTranscriberResult;

// Runs the results task over `results` (then the end, or `error`) and returns its lines.
std::string printLines(const std::vector<Result>& results, const char* error = nullptr) {
  auto child = testing_support::runInChild([&] {
    setUpOutput();
    auto scripted = std::make_shared<testing::ScriptedTranscriber>(speech::Locale{"en-US"});
    std::string done;
    runtime::RunLoop loop;
    runtime::Task<> task;
    loop.post([&] { task = printResults(scripted->results(), done); });
    loop.runReady();
    for (const Result& r : results) scripted->deliver_.yield(r);
    scripted->deliver_.finish(error ? std::make_exception_ptr(speech::Error(error)) : nullptr);
    loop.runReady();
    if (!task.done()) _exit(10);
    // The committed transcript goes on standard error so the parent can see it.
    std::fprintf(stderr, "done=%s|error=%d", done.c_str(), task.error() ? 1 : 0);
    std::fflush(nullptr);
    _exit(0);
  });
  EXPECT_EQ(child.status, 0);
  return child.out + "#" + child.err;
}

std::string lines(std::initializer_list<const char*> texts) {
  std::string out;
  for (const char* t : texts) out += transcriptLine(t);
  return out;
}

TEST(PrinterTest, WorkedExampleBuildsRunningTranscript) {
  EXPECT_EQ(printLines({{"Hello", false},
                        {"Hello wor", false},
                        {"Hello world.", true},
                        {" How", false},
                        {" How are", false},
                        {" How are you?", true}}),
            lines({"Hello", "Hello wor", "Hello world.", "Hello world. How", "Hello world. How are",
                   "Hello world. How are you?"}) +
                "#done=Hello world. How are you?|error=0");
}

TEST(PrinterTest, EdgeCasesOfTheResultSequence) {
  // No results at all: nothing written, nothing committed.
  EXPECT_EQ(printLines({}), "#done=|error=0");
  // An empty final still writes the committed transcript; repeats are not suppressed.
  EXPECT_EQ(printLines({{"a", true}, {"", true}, {" b", false}, {" b", false}}),
            lines({"a", "a", "a b", "a b"}) + "#done=a|error=0");
  // A volatile last result is shown but never committed; no separator is added between results.
  EXPECT_EQ(printLines({{"one", true}, {"two", false}}),
            lines({"one", "onetwo"}) + "#done=one|error=0");
}

TEST(PrinterTest, ErrorEndsTheTaskAfterTheLinesSoFar) {
  EXPECT_EQ(printLines({{"kept", true}, {" more", false}}, "recognition broke"),
            lines({"kept", "kept more"}) + "#done=kept|error=1");
}

}  // namespace
}  // namespace dictate
