#include "wake/wake.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "wake/words.h"

namespace wake {
namespace {

using namespace std::chrono_literals;
using speech::AuthorizationStatus;
using speech::RecognitionRequest;

constexpr std::string_view kName = "vorlin";
constexpr std::uint32_t kTapBus = 0;
constexpr std::uint32_t kTapFrames = 1024;
constexpr auto kTickInterval = 5s;
constexpr auto kLongestCycle = 60s;
constexpr auto kRestartDelay = 200ms;

// The program-wide state sits in objects that are never destroyed: exit() runs while the capture
// and recognition threads may still call into the engine, the recognizer and the lock.
std::shared_ptr<speech::SpeechRecognizer>& recognizer =
    *new std::shared_ptr<speech::SpeechRecognizer>;
std::unique_ptr<audio::CaptureEngine>& engine = *new std::unique_ptr<audio::CaptureEngine>;
std::mutex& lock = *new std::mutex;
// Where microphone audio goes; none between a wake and the next cycle. Guarded by `lock`.
std::shared_ptr<RecognitionRequest>& request = *new std::shared_ptr<RecognitionRequest>;
// The rest is main thread only.
std::shared_ptr<speech::RecognitionTask>& task = *new std::shared_ptr<speech::RecognitionTask>;
// Read from the loop's clock, which is monotonic: setting the wall clock must neither replace a
// young cycle nor keep an old one alive.
runtime::TimePoint started;
// Set before any other thread exists, so the handlers may read it without `lock`.
runtime::RunLoop* loop = nullptr;
ParentReader& parent = *new ParentReader;
pid_t first_parent = 0;

// One write(2) per line, past stdio: lines from different threads never interleave, and nothing
// waits in a buffer when exit() follows.
void log(std::string_view message) {
  std::string line(message);
  line += '\n';
  ssize_t written;
  do {
    written = ::write(STDERR_FILENO, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  // A failed write has nowhere to be reported: stderr is the only place the program reports to.
}

[[noreturn]] void quit(int status, std::string_view message) {
  log(message);
  std::exit(status);
}

// The recognizer writes ASCII. Folding only A-Z leaves every byte of a multi-byte UTF-8 sequence
// as it is, so other scripts pass through unharmed and cannot turn into a match.
bool namesUs(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower.find(kName) != std::string::npos;
}

void sayWake() {
  // A failed write means the host has stopped reading. Nothing may go to stderr after start-up,
  // and the tick ends the process once the host is gone, so only the error flag is cleared. The
  // flush covers a stdout that could not be made line-buffered.
  if (std::puts("wake") == EOF || std::fflush(stdout) == EOF) std::clearerr(stdout);
}

void listen();

// The result handler of the cycle whose request is `mine`; runs on a thread of the recognizer's.
void heard(const std::shared_ptr<RecognitionRequest>& mine,
           const std::shared_ptr<const speech::RecognitionResult>& result,
           const std::shared_ptr<const speech::Error>& error) {
  {
    std::lock_guard hold(lock);
    // Identity, not content: callbacks of cancelled, replaced and woken cycles end here.
    if (request != mine) return;
  }
  if (result) {
    // The name is looked for first, so a final result or one that comes with an error still wakes.
    if (namesUs(result->bestTranscription().formattedString)) {
      {
        std::lock_guard hold(lock);
        // Audio is dropped from now on, and every later callback of this cycle ends above.
        request = nullptr;
      }
      sayWake();
      loop->post(listen);
      return;
    }
    if (!error && !result->isFinal()) return;
  } else if (!error) {
    return;
  }
  // The ending cycle keeps its request meanwhile, so its further callbacks are still examined and
  // each qualifying one posts a restart of its own.
  loop->postAfter(kRestartDelay, listen);
}

// Begins a new cycle, replacing the current one. Main thread only.
void listen() {
  // Cancelled outside `lock`: a recognizer may wait in cancel() for a handler that is itself
  // waiting for `lock`.
  if (task) task->cancel();
  auto next = std::make_shared<RecognitionRequest>();
  next->setRequiresOnDeviceRecognition(true);
  next->setShouldReportPartialResults(true);
  next->setContextualStrings(contextualStrings());
  next->setPhraseThreshold(kPhraseThreshold);
  next->setPronunciations(pronunciations());
  // Room noise (a fan, traffic, other voices) hides the name from the recognizer; in a quiet
  // room the stage passes the audio on untouched.
  next->setNoiseSuppression(audio::NoiseSuppressor::Engagement::kAdaptive);
  {
    // Ended and swapped in one hold, as the tap appends in its own: the old request never gets
    // audio after its end.
    std::lock_guard hold(lock);
    if (request) request->endAudio();
    request = next;
  }
  started = loop->now();
  task = recognizer->recognitionTask(
      next, [next](std::shared_ptr<const speech::RecognitionResult> result,
                   std::shared_ptr<const speech::Error> error) { heard(next, result, error); });
}

void tick() {
  // Linux hands an orphan to the nearest subreaper (a user service manager, a container's init),
  // which is often not process 1, so a parent id that merely changed also means the host is gone.
  pid_t now_parent = parent();
  if (now_parent == 1 || now_parent != first_parent) std::exit(0);
  if (loop->now() - started > kLongestCycle) listen();
}

// The rest of start-up, on the main loop once the permission answer is in.
void proceed(AuthorizationStatus status) {
  if (status != AuthorizationStatus::authorized) {
    quit(2, "vorlin-wake: speech recognition is not allowed (" +
                std::to_string(static_cast<int>(status)) + ")");
  }
  audio::CaptureInput& input = engine->input();
  // The microphone's own format, so buffers reach the recognizer unconverted.
  audio::PcmFormat format = input.busFormat(kTapBus);
  input.installTap(kTapBus, kTapFrames, format,
                   [](std::shared_ptr<audio::PcmBuffer> buffer, audio::CaptureTime) {
                     // Held across the append so listen() cannot end the request between
                     // the check and the append.
                     std::lock_guard hold(lock);
                     if (request) request->append(std::move(buffer));
                   });
  std::string error;
  if (!engine->start(&error)) {
    quit(3, "vorlin-wake: the microphone did not start: " + error);
  }
  listen();
  loop->every(kTickInterval, tick);
  log("vorlin-wake: listening");
}

}  // namespace

void start(speech::RecognitionService& service, EngineFactory make_engine, runtime::RunLoop& on,
           ParentReader read_parent) {
  // Before anything is written, so each wake line leaves as soon as its line feed does. Its
  // failure needs no handling: sayWake() flushes every line itself all the same.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  loop = &on;
  parent = std::move(read_parent);
  first_parent = parent();

  recognizer = service.recognizerFor(speech::Locale{"en-US"});
  // Checked before permission is asked: without a model there is nothing to ask permission for.
  if (!recognizer || !recognizer->supportsOnDeviceRecognition()) {
    quit(1, "vorlin-wake: this Mac has no speech recognition on the device for English");
  }

  engine = make_engine();
  {
    std::lock_guard hold(lock);
    request = nullptr;
  }
  task = nullptr;
  started = loop->now();

  // The answer may come on any thread; everything it leads to runs on the main loop.
  service.requestAuthorization(
      [](AuthorizationStatus status) { loop->post([status] { proceed(status); }); });
}

}  // namespace wake
