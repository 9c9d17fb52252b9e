#include "platform/runtime/run_loop.h"

#include <utility>

namespace runtime {
namespace {

thread_local RunLoop* current_loop = nullptr;

// Marks the loop as current on this thread for the duration of a scope, so awaiting code can
// find the loop it must resume on.
class CurrentScope {
 public:
  explicit CurrentScope(RunLoop* loop) : previous_(std::exchange(current_loop, loop)) {}
  ~CurrentScope() { current_loop = previous_; }

 private:
  RunLoop* previous_;
};

}  // namespace

RunLoop::RunLoop(const TimeSource* time) : time_(time) {}

RunLoop& RunLoop::main() {
  static RunLoop* loop = new RunLoop();  // never destroyed: work may still be posted at exit
  return *loop;
}

RunLoop* RunLoop::current() { return current_loop; }

TimePoint RunLoop::now() const { return time_ ? time_->now() : Clock::now(); }

void RunLoop::post(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    ready_.push_back(std::move(work));
  }
  wake_.notify_one();
}

void RunLoop::postAfter(Duration delay, std::function<void()> work) {
  TimePoint due = now() + delay;
  {
    std::lock_guard lock(mutex_);
    timers_.emplace(std::pair(due, sequence_++), Timer{std::move(work), Duration::zero()});
  }
  wake_.notify_one();
}

void RunLoop::every(Duration interval, std::function<void()> work) {
  TimePoint due = now() + interval;
  {
    std::lock_guard lock(mutex_);
    timers_.emplace(std::pair(due, sequence_++), Timer{std::move(work), interval});
  }
  wake_.notify_one();
}

bool RunLoop::takeDue(TimePoint now, std::function<void()>& work) {
  // Timers that are due go first: a due timer was due before any work posted since.
  auto first = timers_.begin();
  if (first != timers_.end() && first->first.first <= now) {
    Timer timer = std::move(first->second);
    TimePoint due = first->first.first;
    timers_.erase(first);
    if (timer.interval > Duration::zero()) {
      // A repeating timer that fell behind skips the ticks it missed, as a wall timer would.
      TimePoint next = due + timer.interval;
      if (next <= now) next = now + timer.interval;
      timers_.emplace(std::pair(next, sequence_++), Timer{timer.work, timer.interval});
    }
    work = std::move(timer.work);
    return true;
  }
  if (!ready_.empty()) {
    work = std::move(ready_.front());
    ready_.pop_front();
    return true;
  }
  return false;
}

void RunLoop::run() {
  CurrentScope scope(this);
  std::unique_lock lock(mutex_);
  stopping_ = false;
  while (!stopping_) {
    std::function<void()> work;
    if (takeDue(now(), work)) {
      lock.unlock();
      work();
      work = nullptr;  // destroy captures outside the lock too
      lock.lock();
      continue;
    }
    if (timers_.empty()) {
      wake_.wait(lock);
    } else if (time_) {
      // A hand-moved clock cannot be slept on; poll it.
      wake_.wait_for(lock, std::chrono::milliseconds(1));
    } else {
      wake_.wait_until(lock, timers_.begin()->first.first);
    }
  }
}

void RunLoop::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
}

std::size_t RunLoop::runReady() {
  CurrentScope scope(this);
  std::size_t ran = 0;
  std::unique_lock lock(mutex_);
  std::function<void()> work;
  while (takeDue(now(), work)) {
    lock.unlock();
    work();
    work = nullptr;
    ++ran;
    lock.lock();
  }
  return ran;
}

}  // namespace runtime
