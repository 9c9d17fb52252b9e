#include "platform/speech/moonshine/helper_threads.h"

#include <exception>

#include "platform/speech/moonshine/layers.h"

namespace speech::moonshine {

HelperThreads::~HelperThreads() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  start_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

HelperThreads& HelperThreads::ofThisThread() {
  thread_local HelperThreads helpers;
  return helpers;
}

void HelperThreads::run(int parts, const std::function<void(int)>& part) {
  if (parts <= 1) {
    part(0);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    while (static_cast<int>(threads_.size()) < parts - 1) {
      int index = static_cast<int>(threads_.size()) + 1;
      threads_.emplace_back([this, index] { serve(index); });
    }
    part_ = &part;
    parts_ = parts;
    running_ = parts - 1;
    ++call_;
  }
  start_.notify_all();
  std::exception_ptr failed;
  try {
    part(0);
  } catch (...) {
    failed = std::current_exception();  // the helpers still hold `part`: wait for them first
  }
  {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return running_ == 0; });
    part_ = nullptr;
  }
  if (failed) std::rethrow_exception(failed);
}

void HelperThreads::serve(int index) {
  useOneMathThread();
  std::unique_lock lock(mutex_);
  // Started by a call, and serves that call too.
  std::uint64_t served = call_ - 1;
  while (true) {
    start_.wait(lock, [&] { return stopping_ || call_ != served; });
    if (stopping_) return;
    served = call_;
    if (index >= parts_) continue;
    const std::function<void(int)>& part = *part_;
    lock.unlock();
    part(index);
    lock.lock();
    if (--running_ == 0) done_.notify_one();
  }
}

}  // namespace speech::moonshine
