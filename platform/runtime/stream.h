// An unbounded stream of values from any thread to one consumer, which is either a coroutine on
// a run loop or a thread that blocks for the next value.
#pragma once

#include <condition_variable>
#include <coroutine>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/runtime/run_loop.h"

namespace runtime {

template <class T>
class Stream;
template <class T>
class Continuation;
template <class T>
std::pair<Stream<T>, Continuation<T>> makeStream();

namespace detail {

template <class T>
struct StreamState {
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<T> values;
  bool finished = false;
  std::exception_ptr error;
  // A coroutine consumer waiting for the next value, and the loop to resume it on.
  std::coroutine_handle<> waiter;
  RunLoop* waiter_loop = nullptr;

  // Takes the next value, or the end; requires `mutex`. The end rethrows the error it came with.
  std::optional<T> take() {
    if (!values.empty()) {
      std::optional<T> value(std::move(values.front()));
      values.pop_front();
      return value;
    }
    if (error) std::rethrow_exception(error);
    return std::nullopt;
  }

  void wake(std::unique_lock<std::mutex>& lock) {
    std::coroutine_handle<> resume = std::exchange(waiter, {});
    RunLoop* loop = waiter_loop;
    lock.unlock();
    arrived.notify_all();
    if (resume) loop->post([resume] { resume.resume(); });
  }
};

}  // namespace detail

// The producer side. Copies share one stream. yield() and finish() never block and never drop a
// value; after the first finish() everything is ignored.
template <class T>
class Continuation {
 public:
  // An empty continuation, to be assigned one from makeStream() before use.
  Continuation() = default;

  void yield(T value) const {
    std::unique_lock lock(state_->mutex);
    if (state_->finished) return;
    state_->values.push_back(std::move(value));
    state_->wake(lock);
  }
  // Ends the stream after the values already yielded; a non-null error is thrown to the consumer
  // in place of the end.
  void finish(std::exception_ptr error = nullptr) const {
    std::unique_lock lock(state_->mutex);
    if (state_->finished) return;
    state_->finished = true;
    state_->error = error;
    state_->wake(lock);
  }

 private:
  friend std::pair<Stream<T>, Continuation<T>> makeStream<T>();
  explicit Continuation(std::shared_ptr<detail::StreamState<T>> state) : state_(std::move(state)) {}
  std::shared_ptr<detail::StreamState<T>> state_;
};

// The consumer side: values in the order yielded, then the end (an empty optional) or the error.
template <class T>
class Stream {
 public:
  // An empty stream, to be assigned one from makeStream() before use.
  Stream() = default;

  // `co_await stream.next()` on a run loop; the coroutine is resumed on that same loop.
  auto next() const {
    struct Next {
      detail::StreamState<T>* state;
      bool await_ready() const noexcept { return false; }
      bool await_suspend(std::coroutine_handle<> self) {
        std::lock_guard lock(state->mutex);
        if (!state->values.empty() || state->finished) return false;
        state->waiter = self;
        state->waiter_loop = RunLoop::current();
        return true;
      }
      std::optional<T> await_resume() {
        std::lock_guard lock(state->mutex);
        return state->take();
      }
    };
    return Next{state_.get()};
  }

  // Whether a value is there to take at once, for a consumer that may put off work until it
  // has caught up with its producer.
  bool ready() const {
    std::lock_guard lock(state_->mutex);
    return !state_->values.empty();
  }

  // For a consumer thread: blocks until a value or the end is there.
  std::optional<T> wait_next() const {
    std::unique_lock lock(state_->mutex);
    state_->arrived.wait(lock, [this] { return !state_->values.empty() || state_->finished; });
    return state_->take();
  }

 private:
  friend std::pair<Stream<T>, Continuation<T>> makeStream<T>();
  explicit Stream(std::shared_ptr<detail::StreamState<T>> state) : state_(std::move(state)) {}
  std::shared_ptr<detail::StreamState<T>> state_;
};

template <class T>
std::pair<Stream<T>, Continuation<T>> makeStream() {
  auto state = std::make_shared<detail::StreamState<T>>();
  return {Stream<T>(state), Continuation<T>(state)};
}

}  // namespace runtime
