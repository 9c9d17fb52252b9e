#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace speech::moonshine {

// Threads that stay for the calls of one owning thread. A thread made for each call cost its
// start and, where products run on the tile unit, the kernel's first-use setup of its tile
// state, on each of the encoder's dozens of steps per reading. Not for use across fork().
class HelperThreads {
 public:
  HelperThreads() = default;
  HelperThreads(const HelperThreads&) = delete;
  HelperThreads& operator=(const HelperThreads&) = delete;
  ~HelperThreads();

  // Runs part(1) ... part(parts - 1) on helper threads and part(0) on the calling thread, and
  // returns once all have returned. The helpers are started on first need and kept.
  void run(int parts, const std::function<void(int)>& part);

  // The calling thread's own helpers.
  static HelperThreads& ofThisThread();

 private:
  void serve(int index);

  std::mutex mutex_;
  std::condition_variable start_, done_;
  std::vector<std::thread> threads_;
  const std::function<void(int)>* part_ = nullptr;
  int parts_ = 0;
  int running_ = 0;         // helpers still in the current call
  std::uint64_t call_ = 0;  // counts the calls, so a helper runs each once
  bool stopping_ = false;
};

}  // namespace speech::moonshine
