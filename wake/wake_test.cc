#include "wake/wake.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "wake/fakes_test_util.h"

namespace wake_test {
namespace {

using namespace std::chrono_literals;
using speech::AuthorizationStatus;
using testing::ElementsAre;
using testing::Eq;

// One listener on scripted services and a hand-moved clock.
struct Rig {
  // Start-up up to the permission question.
  void begin() {
    wake::start(
        service,
        [this] {
          auto made = std::make_unique<ScriptedMicrophone>();
          mic = made.get();
          mic->failure = mic_failure;
          return made;
        },
        loop, [this] { return parent.load(); });
  }
  // Start-up through the permission answer.
  void start() {
    begin();
    service.respond();
    loop.runReady();
  }
  void advance(runtime::Duration by) {
    clock.advance(by);
    loop.runReady();
  }
  ScriptedRecognizer& recognizer() { return *service.recognizer; }
  void capture(const std::shared_ptr<audio::PcmBuffer>& buffer) { mic->capture(buffer); }

  ManualClock clock;
  runtime::RunLoop loop{&clock};
  ScriptedService service;
  ScriptedMicrophone* mic = nullptr;  // owned by the program once made
  std::optional<std::string> mic_failure;
  std::atomic<pid_t> parent{4242};
};

// Exits are observed in a fresh child that runs the test up to the statement.
void isolateExits() { GTEST_FLAG_SET(death_test_style, "threadsafe"); }

TEST(WakeExitTest, NoRecognizerOrNoOnDeviceModelExitsOneBeforeAskingPermission) {
  isolateExits();
  const std::string line =
      "vorlin-wake: this Mac has no speech recognition on the device for English\n";
  for (bool exists : {false, true}) {
    SCOPED_TRACE(exists ? "recognizer without on-device model" : "no recognizer");
    EXPECT_EXIT(
        {
          Rig rig;
          rig.service.recognizer = exists ? std::make_shared<ScriptedRecognizer>(false) : nullptr;
          rig.service.on_ask = [] { (void)!::write(2, "asked\n", 6); };
          rig.begin();
        },
        testing::ExitedWithCode(1), Eq(line));
  }
}

TEST(WakeExitTest, RefusedPermissionExitsTwoWithTheRawValue) {
  isolateExits();
  for (int raw : {1, 7}) {  // denied, and a value of no name
    SCOPED_TRACE(raw);
    EXPECT_EXIT(
        {
          Rig rig;
          rig.service.answer = static_cast<AuthorizationStatus>(raw);
          rig.start();
        },
        testing::ExitedWithCode(2),
        Eq("vorlin-wake: speech recognition is not allowed (" + std::to_string(raw) + ")\n"));
  }
}

TEST(WakeExitTest, MicrophoneFailureExitsThreeWithTheServersMessageAndNoListeningLine) {
  isolateExits();
  EXPECT_EXIT(
      {
        Rig rig;
        rig.mic_failure = "Connection refused (no audio server at /run/user/0/pulse/native)";
        rig.start();
      },
      testing::ExitedWithCode(3),
      Eq("vorlin-wake: the microphone did not start: Connection refused (no audio server at "
         "/run/user/0/pulse/native)\n"));
}

TEST(WakeExitTest, ParentGoneExitsZeroSilentlyAtTheNextTick) {
  isolateExits();
  // Handed to process 1, to a subreaper with an id of its own, or already an orphan at start.
  const std::pair<pid_t, pid_t> parents[] = {{4242, 1}, {4242, 977}, {1, 1}};
  for (auto [first, later] : parents) {
    SCOPED_TRACE(testing::Message() << first << " then " << later);
    EXPECT_EXIT(
        {
          Rig rig;
          rig.parent = first;
          rig.start();
          if (first != later) rig.advance(5s);  // the host is still there: no exit yet
          rig.parent = later;
          rig.advance(5s);
        },
        testing::ExitedWithCode(0), Eq("vorlin-wake: listening\n"));
  }
}

TEST(WakeStartTest, FirstCycleBeginsAfterTheMicrophoneAndListeningIsLoggedOnceAfterIt) {
  Captured out(1);
  Captured err(2);
  Rig rig;
  std::vector<std::string> seen;  // stderr as each platform step happened
  rig.recognizer().on_task = [&] { seen.push_back("task:" + err.text()); };
  rig.begin();
  rig.mic->on_start = [&] {
    seen.push_back("start after " + std::to_string(rig.mic->taps) + " tap");
  };
  EXPECT_THAT(rig.service.locales, ElementsAre("en-US"));

  // Nothing but the question happens before the answer.
  rig.loop.runReady();
  EXPECT_EQ(rig.mic->taps, 0);
  EXPECT_EQ(rig.recognizer().count(), 0u);

  rig.service.respond();
  rig.loop.runReady();
  EXPECT_EQ(rig.mic->tap_bus, 0u);
  EXPECT_EQ(rig.mic->tap_frames, 1024u);
  EXPECT_EQ(rig.mic->tap_format(), rig.mic->format);
  EXPECT_THAT(seen, ElementsAre("start after 1 tap", "task:"));
  EXPECT_EQ(err.text(), "vorlin-wake: listening\n");

  // Later cycles, restarts and ticks log nothing more.
  rig.recognizer().deliver(0, {.text = "hello", .final = true});
  rig.advance(200ms);
  rig.advance(65s);  // one tick, which replaces the restarted cycle
  EXPECT_EQ(rig.recognizer().count(), 3u);
  EXPECT_EQ(err.text(), "vorlin-wake: listening\n");
  EXPECT_EQ(out.text(), "");
}

// One callback to a fresh first cycle: what is written, and when the next cycle begins.
struct CallbackCase {
  Callback callback;
  bool wakes;
  bool restarts;  // after 0.2 s, when it does not wake
};

TEST(WakeCycleTest, EachCallbackWakesRestartsOrWaits) {
  const CallbackCase cases[] = {
      {{.text = "Hey Vorlin"}, true, false},
      {{.text = "hey vOrLiN what's the time"}, true, false},
      {{.text = "tell the Vorlins"}, true, false},
      // Written text, as a recognizer that punctuates gives it.
      {{.text = "Hey, Vorlin! What's the time?"}, true, false},
      {{.text = "\u201cVORLIN.\u201d Vorlin\u2019s turn"}, true, false},
      {{.text = "vorlin", .error = true}, true, false},
      {{.text = "ÉTÉ à Vorlin, Ünïcödé"}, true, false},
      {{.text = ""}, false, false},
      {{.text = "hey vor lin"}, false, false},
      {{.text = "hey VÖRLIN"}, false, false},
      {{.text = "hey vorlın"}, false, false},  // dotless i
      {{}, false, false},
      {{.text = "hey marlin", .final = true}, false, true},
      {{.error = true}, false, true},
      {{.text = "hey", .error = true}, false, true},
  };
  for (const CallbackCase& c : cases) {
    SCOPED_TRACE(c.callback.text.value_or("(no result)") + (c.callback.final ? " final" : "") +
                 (c.callback.error ? " with error" : ""));
    Captured out(1);
    Rig rig;
    rig.start();
    rig.recognizer().deliver(0, c.callback);
    EXPECT_EQ(out.text(), c.wakes ? "wake\n" : "");
    rig.loop.runReady();
    EXPECT_EQ(rig.recognizer().count(), c.wakes ? 2u : 1u);
    rig.advance(199ms);
    EXPECT_EQ(rig.recognizer().count(), c.wakes ? 2u : 1u);
    rig.advance(1ms);
    EXPECT_EQ(rig.recognizer().count(), c.wakes || c.restarts ? 2u : 1u);
    EXPECT_EQ(out.text(), c.wakes ? "wake\n" : "");
    // Whatever replaced it, the first cycle's task was cancelled exactly once.
    EXPECT_EQ(rig.recognizer().cycle(0).task->cancels(), rig.recognizer().count() > 1 ? 1 : 0);
  }
}

TEST(WakeCycleTest, CallbacksOfReplacedOrWokenCyclesAreIgnored) {
  Captured out(1);
  Rig rig;
  rig.start();
  ScriptedRecognizer& recognizer = rig.recognizer();

  // Woken: the rest of the cycle, its final result included, says nothing.
  recognizer.deliver(0, {.text = "hey Vorlin"});
  recognizer.deliver(0, {.text = "hey Vorlin", .final = true});
  recognizer.deliver(0, {.text = "vorlin", .error = true});
  EXPECT_EQ(out.text(), "wake\n");
  rig.advance(1s);
  EXPECT_EQ(recognizer.count(), 2u);

  // Replaced by a restart: the cancelled task's late name and its cancellation error are ignored.
  recognizer.deliver(1, {.error = true});
  rig.advance(200ms);
  ASSERT_EQ(recognizer.count(), 3u);
  EXPECT_EQ(recognizer.cycle(1).task->cancels(), 1);
  recognizer.deliver(1, {.text = "hey vorlin"});
  recognizer.deliver(1, {.error = true});
  rig.advance(1s);
  EXPECT_EQ(out.text(), "wake\n");
  EXPECT_EQ(recognizer.count(), 3u);

  // The current cycle still wakes, and each wake is one more line.
  recognizer.deliver(2, {.text = "VORLIN"});
  rig.loop.runReady();
  EXPECT_EQ(out.text(), "wake\nwake\n");
  ASSERT_EQ(recognizer.count(), 4u);
  // Every request, the first, a woken cycle's and a restart's, is on the device with partial
  // results and the name.
  for (std::size_t i = 0; i < 4; ++i) {
    auto& request = *recognizer.cycle(i).request;
    EXPECT_TRUE(request.requiresOnDeviceRecognition());
    EXPECT_TRUE(request.shouldReportPartialResults());
    EXPECT_THAT(request.contextualStrings(), ElementsAre("Hey Vorlin", "Vorlin"));
    EXPECT_GT(request.phraseThreshold(), 0);
  }
}

TEST(WakeCycleTest, EveryQualifyingCallbackBeginsACycleOfItsOwn) {
  Captured out(1);
  Rig rig;
  rig.start();
  ScriptedRecognizer& recognizer = rig.recognizer();

  // A final and then an error: two restarts, the second replacing the first.
  recognizer.deliver(0, {.text = "hello", .final = true});
  rig.advance(100ms);
  recognizer.deliver(0, {.error = true});
  rig.advance(100ms);
  EXPECT_EQ(recognizer.count(), 2u);
  rig.advance(100ms);
  ASSERT_EQ(recognizer.count(), 3u);
  EXPECT_EQ(recognizer.cycle(1).task->cancels(), 1);
  EXPECT_TRUE(drain(*recognizer.cycle(1).request).ended);
  auto buffer = silence(rig.mic->format);
  rig.capture(buffer);
  EXPECT_THAT(drain(*recognizer.cycle(2).request).audio, ElementsAre(buffer));

  // A cycle waiting for its restart is still examined: the name wakes it, and both the wake and
  // the restart it was waiting for begin cycles.
  rig.advance(1s);
  std::size_t before = recognizer.count();
  recognizer.deliver(before - 1, {.text = "nothing", .final = true});
  recognizer.deliver(before - 1, {.text = "hey vorlin"});
  rig.loop.runReady();
  EXPECT_EQ(recognizer.count(), before + 1);
  rig.advance(200ms);
  EXPECT_EQ(recognizer.count(), before + 2);
  EXPECT_EQ(out.text(), "wake\n");
}

TEST(WakeCycleTest, AudioGoesOnlyToTheCurrentRequest) {
  Captured out(1);
  Rig rig;
  rig.begin();
  rig.service.respond();
  ScriptedRecognizer& recognizer = rig.recognizer();
  auto format = rig.mic->format;
  std::vector<std::shared_ptr<audio::PcmBuffer>> b;
  for (int i = 0; i < 6; ++i) b.push_back(silence(format));

  rig.loop.runReady();
  rig.capture(b[0]);
  recognizer.deliver(0, {.text = "hello", .final = true});
  rig.capture(b[1]);  // the ending cycle keeps its audio until it is replaced
  rig.advance(200ms);
  rig.capture(b[2]);
  recognizer.deliver(1, {.text = "hey vorlin"});
  rig.capture(b[3]);  // between a wake and the next cycle: dropped
  rig.loop.runReady();
  rig.capture(b[4]);
  rig.capture(b[5]);

  Received first = drain(*recognizer.cycle(0).request);
  EXPECT_TRUE(first.ended);
  EXPECT_THAT(first.audio, ElementsAre(b[0], b[1]));
  EXPECT_THAT(drain(*recognizer.cycle(1).request).audio, ElementsAre(b[2]));
  EXPECT_THAT(drain(*recognizer.cycle(2).request).audio, ElementsAre(b[4], b[5]));
}

TEST(WakeCycleTest, TimerReplacesACycleOnlyWhenOlderThanAMinute) {
  Captured out(1);
  Rig rig;
  rig.start();
  ScriptedRecognizer& recognizer = rig.recognizer();

  // Ticks at 5, 10, ... 60 s: at 60 s the cycle is exactly a minute old and stays.
  for (int i = 0; i < 12; ++i) rig.advance(5s);
  EXPECT_EQ(recognizer.count(), 1u);
  rig.advance(5s);
  ASSERT_EQ(recognizer.count(), 2u);
  EXPECT_EQ(recognizer.cycle(0).task->cancels(), 1);
  EXPECT_TRUE(drain(*recognizer.cycle(0).request).ended);

  // Any new cycle restarts the count: a restart at 67.2 s lives until the tick at 130 s.
  rig.advance(2s);
  recognizer.deliver(1, {.error = true});
  rig.advance(200ms);
  ASSERT_EQ(recognizer.count(), 3u);
  for (int i = 0; i < 12; ++i) rig.advance(5s);  // up to 127.2 s, ticks through 125 s
  EXPECT_EQ(recognizer.count(), 3u);
  rig.advance(5s);
  EXPECT_EQ(recognizer.count(), 4u);
  EXPECT_EQ(out.text(), "");
}

// Callbacks on one thread and captured buffers on another while the main loop replaces cycles:
// meant for ThreadSanitizer as much as for the checks at the end.
TEST(WakeCycleTest, ConcurrentCallbacksAndCaptureLoseNoOrderAndNoBuffer) {
  Captured out(1);
  Rig rig;
  rig.start();
  ScriptedRecognizer& recognizer = rig.recognizer();

  const Callback script[] = {
      {.text = "hey"}, {.text = "hey vorlin"}, {.text = "hey", .final = true}, {.error = true}};
  const audio::PcmFormat format = rig.mic->format;
  std::atomic<bool> speaking{true};
  int names = 0;
  std::vector<std::shared_ptr<audio::PcmBuffer>> sent;  // the capture thread's until joined
  std::thread capture([&] {
    while (speaking.load(std::memory_order_relaxed) || sent.size() < 1000) {
      sent.push_back(silence(format));
      rig.capture(sent.back());
    }
  });
  std::thread speaker([&] {
    for (int i = 0; i < 400; ++i) {
      const Callback& callback = script[i % 4];
      if (callback.text && callback.text->find("vorlin") != std::string::npos) ++names;
      recognizer.call(recognizer.count() - 1, callback);
    }
    speaking = false;
  });
  while (speaking) rig.advance(50ms);
  speaker.join();
  capture.join();
  rig.advance(1s);  // runs the restarts still waiting

  // Only whole wake lines, and no more than the callbacks that named us.
  auto wakes = [&out] {
    const std::string text = out.text();
    std::string whole;
    while (whole.size() < text.size()) whole += "wake\n";
    EXPECT_EQ(text, whole);
    return text.size() / 5;
  };
  const std::size_t during = wakes();
  EXPECT_LE(during, static_cast<std::size_t>(names));
  // The speaker may have addressed only replaced cycles (the loop can stall between swapping in a
  // request and asking for its task), so the race itself need not wake. Once the loop is idle,
  // though, the newest task must be the one that hears.
  recognizer.call(recognizer.count() - 1, {.text = "hey vorlin"});
  EXPECT_EQ(wakes(), during + 1);

  std::unordered_map<const audio::PcmBuffer*, std::size_t> index;
  for (std::size_t i = 0; i < sent.size(); ++i) index[sent[i].get()] = i;
  // Each buffer reaches at most one request, in capture order within it.
  std::vector<int> seen(sent.size(), 0);
  for (std::size_t i = 0; i < recognizer.count(); ++i) {
    std::size_t last = 0;
    for (auto& buffer : drain(*recognizer.cycle(i).request).audio) {
      std::size_t at = index.at(buffer.get());
      EXPECT_TRUE(at >= last);
      last = at;
      ++seen[at];
    }
  }
  for (int times : seen) ASSERT_LE(times, 1);
}

}  // namespace
}  // namespace wake_test
