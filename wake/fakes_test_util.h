// Scripted stand-ins for the clock, the recognizer, the microphone and the standard streams, for
// tests of the wake listener. The test plays the platform's part: it moves the clock, delivers
// recognition callbacks and captured buffers, and reads what the program wrote.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gtest/gtest.h"
#include "platform/audio/engine.h"
#include "platform/runtime/run_loop.h"
#include "platform/speech/recognizer.h"

namespace wake_test {

class ManualClock : public runtime::TimeSource {
 public:
  runtime::TimePoint now() const override { return now_.load(); }
  // Only the test's thread moves the clock; the handlers read it when they post a restart.
  void advance(runtime::Duration by) { now_.store(now_.load() + by); }

 private:
  std::atomic<runtime::TimePoint> now_{runtime::TimePoint{} + std::chrono::hours(1)};
};

// One recognition callback, as the recognizer would make it.
struct Callback {
  std::optional<std::string> text = std::nullopt;  // none: no result
  bool final = false;
  bool error = false;
};

class ScriptedTask : public speech::RecognitionTask {
 public:
  void cancel() override { ++cancels_; }
  int cancels() const { return cancels_.load(); }

 private:
  std::atomic<int> cancels_{0};
};

// Records every task it is asked for and lets the test play each task's callbacks.
class ScriptedRecognizer : public speech::SpeechRecognizer {
 public:
  struct Cycle {
    std::shared_ptr<speech::RecognitionRequest> request;
    speech::RecognitionHandler handler;
    std::shared_ptr<ScriptedTask> task;
  };

  explicit ScriptedRecognizer(bool on_device) : on_device_(on_device) {}

  bool supportsOnDeviceRecognition() const override { return on_device_; }

  std::shared_ptr<speech::RecognitionTask> recognitionTask(
      std::shared_ptr<speech::RecognitionRequest> request,
      speech::RecognitionHandler handler) override {
    if (on_task) on_task();
    auto task = std::make_shared<ScriptedTask>();
    std::lock_guard hold(mutex_);
    cycles_.push_back(Cycle{std::move(request), std::move(handler), task});
    return task;
  }

  std::size_t count() const {
    std::lock_guard hold(mutex_);
    return cycles_.size();
  }
  Cycle cycle(std::size_t i) const {
    std::lock_guard hold(mutex_);
    return cycles_.at(i);
  }

  // Calls cycle i's handler on the calling thread.
  void call(std::size_t i, const Callback& callback) const {
    std::shared_ptr<const speech::RecognitionResult> result;
    if (callback.text) {
      result = std::make_shared<speech::RecognitionResult>(speech::Transcription{*callback.text},
                                                           callback.final);
    }
    std::shared_ptr<const speech::Error> error;
    if (callback.error) error = std::make_shared<speech::Error>("recognition was cancelled");
    cycle(i).handler(result, error);
  }
  // The same on a thread of its own, as the real recognizer does, and waits for it.
  void deliver(std::size_t i, const Callback& callback) const {
    std::thread([&] { call(i, callback); }).join();
  }

  // Called as each task is asked for, before it is recorded.
  std::function<void()> on_task;

 private:
  const bool on_device_;
  mutable std::mutex mutex_;
  std::vector<Cycle> cycles_;
};

class ScriptedService : public speech::RecognitionService {
 public:
  // The question waits for respond(), so the test sees what happens before the answer.
  void requestAuthorization(std::function<void(speech::AuthorizationStatus)> handler) override {
    if (on_ask) on_ask();
    pending_ = std::move(handler);
  }
  std::shared_ptr<speech::SpeechRecognizer> recognizerFor(const speech::Locale& locale) override {
    locales.push_back(locale.identifier);
    return recognizer;
  }

  // Answers the pending question with `answer` on a thread of its own, and waits for it.
  void respond() {
    auto handler = std::exchange(pending_, nullptr);
    if (handler) std::thread([&] { handler(answer); }).join();
  }

  std::shared_ptr<ScriptedRecognizer> recognizer = std::make_shared<ScriptedRecognizer>(true);
  speech::AuthorizationStatus answer = speech::AuthorizationStatus::authorized;
  std::function<void()> on_ask;
  std::vector<std::string> locales;

 private:
  std::function<void(speech::AuthorizationStatus)> pending_;
};

// An engine whose input node is fed by the test: capture() stands in for the capture thread.
class ScriptedMicrophone : public audio::CaptureEngine, public audio::CaptureInput {
 public:
  audio::CaptureInput& input() override { return *this; }
  audio::PcmFormat busFormat(std::uint32_t) override { return format; }
  void installTap(std::uint32_t bus, std::uint32_t bufferSize, const audio::PcmFormat& tap_format,
                  audio::CaptureCallback block) override {
    std::lock_guard hold(mutex_);
    tap_bus = bus;
    tap_frames = bufferSize;
    tap_format_ = tap_format;
    block_ = std::move(block);
    ++taps;
  }
  bool start(std::string* error) override {
    if (on_start) on_start();
    if (failure) {
      *error = *failure;
      return false;
    }
    return true;
  }

  // Hands one buffer to the tap, if one is installed.
  void capture(std::shared_ptr<audio::PcmBuffer> buffer) {
    audio::CaptureCallback block;
    {
      std::lock_guard hold(mutex_);
      block = block_;
    }
    if (block) block(std::move(buffer), audio::CaptureTime{});
  }
  std::optional<audio::PcmFormat> tap_format() {
    std::lock_guard hold(mutex_);
    return tap_format_;
  }

  audio::PcmFormat format{audio::SampleFormat::Float32, 44100, 2, false};
  std::optional<std::string> failure;
  std::function<void()> on_start;
  int taps = 0;
  std::uint32_t tap_bus = 99;
  std::uint32_t tap_frames = 0;

 private:
  std::mutex mutex_;
  std::optional<audio::PcmFormat> tap_format_;
  audio::CaptureCallback block_;
};

// A short buffer of silence in the microphone's format; requests drop empty buffers.
inline std::shared_ptr<audio::PcmBuffer> silence(const audio::PcmFormat& format) {
  auto buffer = audio::PcmBuffer::create(format, 16);
  buffer->setFrameLength(16);
  return buffer;
}

// What a request received. Appends a marker and ends the audio itself, so it never blocks: the
// marker comes back only when the program had not ended the audio yet.
struct Received {
  std::vector<std::shared_ptr<audio::PcmBuffer>> audio;
  bool ended = false;
};
inline Received drain(speech::RecognitionRequest& request) {
  auto marker = silence(audio::PcmFormat(audio::SampleFormat::Int16, 16000, 1, true));
  request.append(marker);
  request.endAudio();
  Received received{{}, true};
  auto stream = request.audio();
  while (auto buffer = stream.waitNext()) {
    if (*buffer == marker) {
      received.ended = false;
    } else {
      received.audio.push_back(*buffer);
    }
  }
  return received;
}

// Sends one standard stream's file descriptor to a temporary file for the life of the object.
class Captured {
 public:
  explicit Captured(int fd) : fd_(fd), file_(std::tmpfile()) {
    std::fflush(nullptr);
    saved_ = ::dup(fd_);
    if (!file_ || saved_ < 0 || ::dup2(::fileno(file_), fd_) < 0) {
      ADD_FAILURE() << "cannot capture fd " << fd_;
    }
  }
  ~Captured() {
    std::string seen = text();
    std::fflush(nullptr);
    if (saved_ >= 0) {
      ::dup2(saved_, fd_);
      ::close(saved_);
    }
    if (file_) std::fclose(file_);
    // gtest reports failures on stdout, which may have landed here.
    if (testing::Test::HasFailure() && !seen.empty()) {
      std::fprintf(stderr, "captured on fd %d:\n%s\n", fd_, seen.c_str());
    }
  }
  Captured(const Captured&) = delete;
  Captured& operator=(const Captured&) = delete;

  // Everything written so far.
  std::string text() const {
    std::fflush(nullptr);
    std::string all;
    char chunk[4096];
    for (off_t at = 0;;) {
      ssize_t got = ::pread(::fileno(file_), chunk, sizeof chunk, at);
      if (got <= 0) break;
      all.append(chunk, static_cast<std::size_t>(got));
      at += got;
    }
    return all;
  }

 private:
  int fd_;
  std::FILE* file_;
  int saved_ = -1;
};

}  // namespace wake_test
