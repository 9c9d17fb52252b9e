// The thread a recognizer serves its tasks on, one at a time in the order they were begun, and
// the task that carries a request and its result handler to it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/speech/recognizer.h"

namespace speech {

class RecognitionTask : public SFSpeechRecognitionTask {
 public:
  RecognitionTask(std::shared_ptr<SFSpeechAudioBufferRecognitionRequest> request,
                  SFSpeechRecognitionResultHandler handler)
      : request_(std::move(request)), handler_(std::move(handler)) {}

  // Ending the request's audio wakes the worker if it waits for the next buffer; it then sees
  // the flag before it decodes anything more.
  void cancel() override {
    if (cancelled_.exchange(true)) return;
    request_->endAudio();
  }
  bool cancelled() const { return cancelled_.load(); }
  const SFSpeechAudioBufferRecognitionRequest& request() const { return *request_; }

  // Worker thread only.
  void report(std::shared_ptr<const SFSpeechRecognitionResult> result,
              std::shared_ptr<const Error> error) {
    handler_(std::move(result), std::move(error));
  }
  // After the last report: drops the handler, which may hold whoever holds this task.
  void finish() { handler_ = nullptr; }

 private:
  std::shared_ptr<SFSpeechAudioBufferRecognitionRequest> request_;
  SFSpeechRecognitionResultHandler handler_;
  std::atomic<bool> cancelled_{false};
};

// The error a cancelled task ends with.
const Error& cancelledError();

class RecognitionWorker : public std::enable_shared_from_this<RecognitionWorker> {
 public:
  // `serve` runs on the worker's thread, once per task, and reports its results.
  explicit RecognitionWorker(std::function<void(RecognitionTask&)> serve)
      : serve_(std::move(serve)) {}

  void start() {
    thread_ = std::thread([self = shared_from_this()] { self->run(); });
  }
  // Cancels the task being served and drops the queued ones unheard: whoever made their
  // handlers may be gone too. Joins the thread, unless called from it.
  void stop();
  void begin(std::shared_ptr<RecognitionTask> task);

 private:
  void run();

  std::function<void(RecognitionTask&)> serve_;
  std::thread thread_;
  std::mutex mutex_;  // guards the queue, stopping_ and current_
  std::condition_variable changed_;
  std::deque<std::shared_ptr<RecognitionTask>> queue_;
  std::shared_ptr<RecognitionTask> current_;
  bool stopping_ = false;
};

}  // namespace speech
