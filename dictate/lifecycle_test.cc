#include "dictate/lifecycle.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "dictate/output.h"
#include "dictate/scripted_speech_test_util.h"
#include "platform/runtime/run_loop.h"
#include "tests/support/child_process.h"

namespace dictate {
namespace {

using testing::ScriptedSpeech;
using testing::SpeechScript;
using testing_support::ChildResult;

// Reads that give `bytes` in 1000-byte pieces and then the end; at the end they write a marker
// on standard error, so a test can see what came before and after the input ended.
ReadFn readsThenEnd(std::string bytes) {
  auto offset = std::make_shared<std::size_t>(0);
  return [bytes = std::move(bytes), offset](void* data, std::size_t size) -> ssize_t {
    if (*offset == bytes.size()) {
      usleep(50000);  // give anything that should wait for the end a chance not to
      const char marker[] = "<input ended>\n";
      if (write(STDERR_FILENO, marker, sizeof marker - 1) < 0) return -1;
      return 0;
    }
    std::size_t n = std::min({size, std::size_t{1000}, bytes.size() - *offset});
    std::memcpy(data, bytes.data() + *offset, n);
    *offset += n;
    return static_cast<ssize_t>(n);
  };
}

// Runs the whole program on `script` with `audio` as its input; returns what it wrote and its
// status. Standard error lines the program itself writes follow the "<input ended>" marker.
// With `report`, what the speech service saw is written on standard error at exit.
ChildResult dictateWith(const SpeechScript& script, std::string audio = std::string(6400, '\0'),
                        bool report = false) {
  return testing_support::runInChild([&] {
    static ScriptedSpeech* speech = new ScriptedSpeech(script);
    static runtime::Task<> main_task;
    static ReadFn read = readsThenEnd(audio);
    if (report)
      std::atexit([] {
        std::fprintf(stderr, "<frames %zu inputs %zu installed %d reporting %zu locale %s>\n",
                     speech->log.frames.load(), speech->log.inputs.load(),
                     speech->log.installed ? 1 : 0, speech->log.reporting.size(),
                     speech->log.transcriber_locale->identifier.c_str());
      });
    static Program program;
    runtime::RunLoop::main().post([] { main_task = dictate(program, *speech, read); });
    runtime::RunLoop::main().run();
  });
}

TEST(LifecycleTest, DictatesToTheFinalLineAndExitsZero) {
  SpeechScript script;
  script.early = {{"hello", false}};
  script.late = {{"hello world", true}, {" again", false}};
  ChildResult r = dictateWith(script);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, transcriptLine("hello") + transcriptLine("hello world") +
                       transcriptLine("hello world again") + transcriptLine("hello world"));
  EXPECT_EQ(r.err, "<input ended>\n");
}

// Empty input, one line with no text, is checked on the real program by tests/dictate_e2e.py.
TEST(LifecycleTest, EveryAudioFrameReachesTheAnalyzer) {
  ChildResult r = dictateWith(SpeechScript{}, std::string(16001, '\x01'), true);
  EXPECT_EQ(r.status, 0);
  // 8000 whole samples; the odd byte is dropped. Reporting asks for volatile and fast results.
  EXPECT_NE(r.err.find("<frames 8000 inputs 16 installed 0 reporting 2 locale en-US>"),
            std::string::npos)
      << r.err;
}

TEST(LifecycleTest, InstallsTheModelWhenAskedAndFallsBackToUsEnglish) {
  SpeechScript script;
  script.needs_install = true;
  script.supported.reset();
  ChildResult r = dictateWith(script, "", true);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("installed 1 reporting 2 locale en-US>"), std::string::npos) << r.err;
}

TEST(LifecycleTest, EachFailureGivesItsLineAndStatusOne) {
  struct Case {
    const char* name;
    SpeechScript script;
    std::string err;  // what follows on standard error
  };
  auto with = [](auto change) {
    SpeechScript s;
    s.early = {{"partial", false}};
    change(s);
    return s;
  };
  Case cases[] = {
      {"request", with([](SpeechScript& s) { s.request_error = "no catalog"; }),
       "vorlin-dictate: the speech model did not install: no catalog\n"},
      {"install", with([](SpeechScript& s) {
         s.needs_install = true;
         s.install_error = "model file /m/mdef is missing";
       }),
       "vorlin-dictate: the speech model did not install: model file /m/mdef is missing\n"},
      {"format", with([](SpeechScript& s) { s.format.reset(); }),
       "vorlin-dictate: no audio format for the speech model\n"},
      {"start", with([](SpeechScript& s) { s.start_error = "engine refused"; }),
       "vorlin-dictate: engine refused\n"},
      {"finalize", with([](SpeechScript& s) { s.finalize_error = "decoder broke"; }),
       "<input ended>\nvorlin-dictate: decoder broke\n"},
      {"results", with([](SpeechScript& s) { s.results_error = "results broke"; }),
       "<input ended>\nvorlin-dictate: results broke\n"},
      // A finalization failure is reported in place of the results task's.
      {"both", with([](SpeechScript& s) {
         s.results_error = "results broke";
         s.finalize_error = "decoder broke";
       }),
       "<input ended>\nvorlin-dictate: decoder broke\n"},
  };
  for (const Case& c : cases) {
    ChildResult r = dictateWith(c.script);
    EXPECT_EQ(r.status, 1) << c.name;
    // Failures before analysis need not wait for the input: the reader thread may reach its
    // end before, or while the process exits.
    bool analyzing = c.err.starts_with("<input ended>");
    if (auto at = r.err.find("<input ended>\n"); !analyzing && at != std::string::npos)
      r.err.erase(at, 14);
    EXPECT_EQ(r.err, c.err) << c.name;
    // Lines written before the failure stay; no final line follows the error.
    EXPECT_EQ(r.out, analyzing ? transcriptLine("partial") : "") << c.name;
  }
}

}  // namespace
}  // namespace dictate
