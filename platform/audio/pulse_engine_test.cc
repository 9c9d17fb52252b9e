// These tests run the engine against a private PulseAudio daemon with a null sink, whose monitor
// is the default source; audio played into the sink is what the microphone hears.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio/engine.h"

namespace audio {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const char kScript[] = VORLIN_PULSE_DAEMON_SCRIPT;

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char chunk[512];
  std::size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
  int status = pclose(pipe);
  if (status != 0) out = "failed (" + std::to_string(status) + "): " + out;
  return out;
}

bool pulseaudioInstalled() { return std::system("command -v pulseaudio >/dev/null 2>&1") == 0; }

// A daemon of the test's own, and the client environment that points libpulse at it while it
// lives. The environment is changed only while no engine exists, because libpulse reads it on
// the loop's thread when it reconnects.
class PrivateDaemon {
 public:
  PrivateDaemon() = default;
  PrivateDaemon(const PrivateDaemon&) = delete;
  PrivateDaemon& operator=(const PrivateDaemon&) = delete;
  ~PrivateDaemon() {
    if (dir_.empty()) return;
    run(std::string(kScript) + " stop " + dir_ + " 2>&1");
    unsetenv("PULSE_SERVER");
    unsetenv("PULSE_CLIENTCONFIG");
    unsetenv("PULSE_COOKIE");
  }

  // Starts the daemon with `options`, in the directory it had when started before; false, with
  // the script's output, when it cannot. The script's own stderr joins its output, so a test that
  // watches stderr sees only the engine's.
  bool start(const std::string& options, std::string* failure) {
    std::string out = run(std::string(kScript) + " start " +
                          (dir_.empty() ? "" : "--dir " + dir_ + " ") + options + " 2>&1");
    std::string server;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("PULSE_SERVER=", 0) == 0) server = line.substr(13);
      if (line.rfind("PULSE_DIR=", 0) == 0) dir_ = line.substr(10);
    }
    if (server.empty() || dir_.empty()) {
      *failure = out;
      return false;
    }
    setenv("PULSE_SERVER", server.c_str(), 1);
    setenv("PULSE_CLIENTCONFIG", "/dev/null", 1);
    setenv("PULSE_COOKIE", (dir_ + "/cookie").c_str(), 1);
    return true;
  }

  const std::string& dir() const { return dir_; }

  // As a crash would: the socket is left behind and nothing is said to the clients.
  void kill() { run(std::string(kScript) + " kill " + dir_ + " 2>&1"); }

  // Blocks while the file plays in real time.
  void playRaw(const std::string& path, int rate, int channels) {
    run(std::string(kScript) + " play " + dir_ + " " + path + " " + std::to_string(rate) + " " +
        std::to_string(channels) + " 2>&1");
  }

 private:
  std::string dir_;
};

// What the tap received, and when.
struct Tap {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::shared_ptr<PcmBuffer>> buffers;
  std::vector<Clock::time_point> times;
  bool called_on_main_thread = false;

  CaptureCallback block() {
    std::thread::id main = std::this_thread::get_id();
    return [this, main](std::shared_ptr<PcmBuffer> buffer, CaptureTime) {
      std::lock_guard lock(mutex);
      if (std::this_thread::get_id() == main) called_on_main_thread = true;
      buffers.push_back(std::move(buffer));
      times.push_back(Clock::now());
      arrived.notify_all();
    };
  }

  // The time the first buffer arrived after `after`, if one did within `limit`.
  std::optional<Clock::time_point> firstAfter(Clock::time_point after, Clock::duration limit) {
    std::unique_lock lock(mutex);
    std::optional<Clock::time_point> found;
    arrived.wait_for(lock, limit, [&] {
      for (Clock::time_point t : times) {
        if (t > after) {
          found = t;
          return true;
        }
      }
      return false;
    });
    return found;
  }
};

class PulseEngineTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!pulseaudioInstalled()) GTEST_SKIP() << "pulseaudio is not installed";
  }

  // An engine that captures the default source into `tap`; none, and a failure, when it cannot
  // start.
  static std::unique_ptr<CaptureEngine> capturingInto(Tap& tap) {
    std::unique_ptr<CaptureEngine> engine = makePulseAudioEngine({"vorlin-test", "test capture"});
    PcmFormat format = engine->input().busFormat(0);
    engine->input().installTap(0, 1024, format, tap.block());
    std::string error;
    if (engine->start(&error)) return engine;
    ADD_FAILURE() << "the engine did not start: " << error;
    return nullptr;
  }
};

// Left at 0.5, right at 0.25, so a swap or a mix of the channels shows.
std::string writeTone(const std::string& dir, int rate, double seconds) {
  std::string path = dir + "/tone.raw";
  std::ofstream out(path, std::ios::binary);
  for (int i = 0; i < static_cast<int>(rate * seconds); ++i) {
    double s = std::sin(2 * M_PI * 1000.0 * i / rate);
    std::int16_t frame[2] = {static_cast<std::int16_t>(std::lround(16384 * s)),
                             static_cast<std::int16_t>(std::lround(8192 * s))};
    out.write(reinterpret_cast<const char*>(frame), sizeof frame);
  }
  return path;
}

// The server's refusals are checked byte for byte on the real program by tests/wake_e2e.py.
TEST_F(PulseEngineTest, ToneReachesTheTapAtItsFrequencyAndLevel) {
  constexpr int kRate = 44100;
  PrivateDaemon daemon;
  std::string failure;
  ASSERT_TRUE(daemon.start("--rate 44100 --channels 2", &failure)) << failure;
  Tap tap;
  std::unique_ptr<CaptureEngine> engine = capturingInto(tap);
  ASSERT_TRUE(engine);
  // The default source's own format, and the names the server shows for the recording.
  const PcmFormat format = engine->input().busFormat(0);
  EXPECT_EQ(format, PcmFormat(SampleFormat::Float32, kRate, 2, false));
  std::string recordings = run("pactl list source-outputs 2>&1");
  EXPECT_NE(recordings.find("application.name = \"vorlin-test\""), std::string::npos) << recordings;
  EXPECT_NE(recordings.find("media.name = \"test capture\""), std::string::npos) << recordings;

  daemon.playRaw(writeTone(daemon.dir(), kRate, 1.0), kRate, 2);
  std::this_thread::sleep_for(300ms);  // what the server still holds after playing
  engine.reset();

  // The buffers that carry the tone, less the first and the last, which hold its edges.
  std::vector<float> left, right;
  int tone_buffers = 0;
  for (const auto& buffer : tap.buffers) {
    ASSERT_EQ(buffer->format(), format);
    EXPECT_EQ(buffer->frameLength(), 1024u);
    const float* l = buffer->floatChannelData()[0];
    const float* r = buffer->floatChannelData()[1];
    double energy = 0;
    for (std::uint32_t i = 0; i < buffer->frameLength(); ++i) energy += l[i] * l[i];
    if (energy / buffer->frameLength() < 0.1) continue;
    if (tone_buffers++ == 0) continue;
    left.insert(left.end(), l, l + buffer->frameLength());
    right.insert(right.end(), r, r + buffer->frameLength());
  }
  EXPECT_FALSE(tap.called_on_main_thread);
  ASSERT_GE(tone_buffers, 40);  // 43 buffers of 1024 frames in the second played
  left.resize(left.size() - 1024);
  right.resize(right.size() - 1024);

  auto rms = [](const std::vector<float>& x) {
    double sum = 0;
    for (float v : x) sum += double{v} * v;
    return std::sqrt(sum / x.size());
  };
  EXPECT_NEAR(rms(left), 0.5 / std::sqrt(2), 0.02);
  EXPECT_NEAR(rms(right), 0.25 / std::sqrt(2), 0.01);
  int crossings = 0;
  for (std::size_t i = 1; i < left.size(); ++i) crossings += (left[i - 1] < 0) != (left[i] < 0);
  double frequency_hz = crossings / 2.0 / (static_cast<double>(left.size()) / kRate);
  EXPECT_NEAR(frequency_hz, 1000, 10);
}

// Sends this process's stderr to a file while it lives.
class StderrCapture {
 public:
  explicit StderrCapture(const std::string& path) : path_(path) {
    std::fflush(stderr);
    saved_ = dup(2);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (saved_ >= 0 && fd >= 0) dup2(fd, 2);
    if (fd >= 0) close(fd);
  }
  ~StderrCapture() { restore(); }

  std::string restore() {
    if (saved_ >= 0) {
      std::fflush(stderr);
      dup2(saved_, 2);
      close(saved_);
      saved_ = -1;
    }
    std::ifstream in(path_);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  std::string path_;
  int saved_ = -1;
};

TEST_F(PulseEngineTest, CaptureSurvivesAServerRestartSilently) {
  PrivateDaemon daemon;
  std::string error;
  ASSERT_TRUE(daemon.start("", &error)) << error;
  Tap tap;
  std::unique_ptr<CaptureEngine> engine = capturingInto(tap);
  ASSERT_TRUE(engine);
  const PcmFormat format = engine->input().busFormat(0);
  ASSERT_TRUE(tap.firstAfter(Clock::now(), 2s)) << "no audio before the restart";

  StderrCapture stderr_capture(daemon.dir() + "/engine-stderr");
  // Gone long enough for the reconnection attempts to have backed off to their longest delay.
  daemon.kill();
  std::this_thread::sleep_for(3s);
  // Timed from before the daemon starts, so its own start-up counts against the engine. At
  // another rate: the tap keeps the format it asked for.
  Clock::time_point back = Clock::now();
  ASSERT_TRUE(daemon.start("--rate 22050", &error)) << error;
  std::optional<Clock::time_point> fed = tap.firstAfter(back, 4s);
  std::string written = stderr_capture.restore();

  ASSERT_TRUE(fed) << "the tap was not fed again within 4 s of the server's return";
  EXPECT_LT(*fed - back, 2s) << "fed again after "
                             << std::chrono::duration<double>(*fed - back).count() << " s";
  {
    std::lock_guard lock(tap.mutex);
    EXPECT_EQ(tap.buffers.back()->format(), format);
    EXPECT_EQ(tap.buffers.back()->frameLength(), 1024u);
  }
  EXPECT_EQ(written, "");
}

}  // namespace
}  // namespace audio
