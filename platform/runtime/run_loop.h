// The main run loop: one thread serves posted work, delayed work and repeating timers, one piece
// at a time, in the order they fall due.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

namespace runtime {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Duration = Clock::duration;

// Where a run loop reads the time. Tests substitute a clock they move by hand and then call
// RunLoop::runReady(); the real clock is the monotonic one.
class TimeSource {
 public:
  virtual ~TimeSource() = default;
  virtual TimePoint now() const = 0;
};

class RunLoop {
 public:
  // `time` is borrowed and must outlive the loop; null means the monotonic clock.
  explicit RunLoop(const TimeSource* time = nullptr);
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  // The process's main loop, served by main() through run().
  static RunLoop& main();
  // The loop whose work is running on the calling thread, or null.
  static RunLoop* current();

  // May be called from any thread; never blocks on the work itself.
  void post(std::function<void()> work);
  void postAfter(Duration delay, std::function<void()> work);
  // A repeating timer: first fires one interval from now, then every interval. It lives as long
  // as the loop.
  void every(Duration interval, std::function<void()> work);

  // Serves the loop on the calling thread until stop(). Sleeps while nothing is due.
  void run();
  // Any thread: run() returns after the piece of work in progress.
  void stop();
  // Runs everything that is due now, including work that falls due while it runs, without
  // sleeping; returns how many pieces ran. For tests driving a hand-moved clock.
  std::size_t runReady();

  TimePoint now() const;

 private:
  struct Timer {
    std::function<void()> work;
    Duration interval;  // zero for one-shot work
  };
  // Takes the next piece of work due at `now`, if any; requires mutex_.
  bool takeDue(TimePoint now, std::function<void()>& work);

  const TimeSource* time_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> ready_;
  // Keyed by due time, then by a sequence number so equal times keep their posting order.
  std::map<std::pair<TimePoint, std::uint64_t>, Timer> timers_;
  std::uint64_t sequence_ = 0;
  bool stopping_ = false;
};

}  // namespace runtime
