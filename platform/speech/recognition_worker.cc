#include "platform/speech/recognition_worker.h"

namespace speech {

const Error& cancelledError() {
  static const Error error("recognition was cancelled");
  return error;
}

void RecognitionWorker::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    if (current_) current_->cancel();
  }
  changed_.notify_all();
  // The last holder of the recognizer may be a result handler, running on this very thread.
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else if (thread_.joinable()) {
    thread_.join();
  }
}

void RecognitionWorker::begin(std::shared_ptr<RecognitionTask> task) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(task));
  }
  changed_.notify_all();
}

void RecognitionWorker::run() {
  for (;;) {
    std::shared_ptr<RecognitionTask> task;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      task = std::move(queue_.front());
      queue_.pop_front();
      current_ = task;
    }
    serve_(*task);
    task->finish();
    std::lock_guard lock(mutex_);
    current_ = nullptr;
  }
}

}  // namespace speech
