// A stream of values from any thread to one consumer, which is either a coroutine on a run loop or
// a thread that blocks for the next value. Unbounded unless made with a limit, when the producer
// waits for the consumer to catch up.
#pragma once

#include <condition_variable>
#include <coroutine>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
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

// How much a stream holds before yield() waits. Each value weighs `weight(value)` (1 when no
// weight is given); yield() waits while the values held weigh `capacity` or more, so a single
// value heavier than the capacity still goes through. A capacity of 0 is no limit.
template <class T>
struct StreamLimit {
  std::size_t capacity = 0;
  std::function<std::size_t(const T&)> weight;
};

template <class T>
std::pair<Stream<T>, Continuation<T>> makeStream(StreamLimit<T> limit = {});

namespace detail {

template <class T>
struct StreamState {
  std::mutex mutex;
  std::condition_variable arrived;
  std::condition_variable room;
  std::deque<std::pair<T, std::size_t>> values;  // with their weights
  std::size_t held = 0;                          // their total weight
  StreamLimit<T> limit;
  bool finished = false;
  // The consumer takes nothing more: a waiting producer must not wait for it.
  bool cancelled = false;
  std::exception_ptr error;
  // A coroutine consumer waiting for the next value, and the loop to resume it on.
  std::coroutine_handle<> waiter;
  RunLoop* waiter_loop = nullptr;

  // Takes the next value, or the end; requires `mutex`. The end rethrows the error it came with.
  std::optional<T> take() {
    if (!values.empty()) {
      std::optional<T> value(std::move(values.front().first));
      held -= values.front().second;
      values.pop_front();
      room.notify_all();
      return value;
    }
    if (error && !cancelled) std::rethrow_exception(error);
    return std::nullopt;
  }

  bool full() const { return limit.capacity > 0 && held >= limit.capacity; }

  void cancel() {
    std::unique_lock lock(mutex);
    cancelled = true;
    values.clear();
    held = 0;
    room.notify_all();
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

// The producer side. Copies share one stream. finish() never blocks; yield() never drops a value
// and blocks only on a stream with a limit, while it is full: never yield into a bounded stream
// from the thread its consumer needs to run. After the first finish() everything is ignored, and
// after the consumer cancels, yield() drops the value and returns at once.
template <class T>
class Continuation {
 public:
  // An empty continuation, to be assigned one from makeStream() before use.
  Continuation() = default;

  void yield(T value) const {
    std::unique_lock lock(state_->mutex);
    state_->room.wait(lock,
                      [s = state_.get()] { return !s->full() || s->finished || s->cancelled; });
    if (state_->finished || state_->cancelled) return;
    std::size_t weight = state_->limit.weight ? state_->limit.weight(value) : 1;
    state_->values.emplace_back(std::move(value), weight);
    state_->held += weight;
    state_->wake(lock);
  }
  // Ends the stream after the values already yielded; a non-null error is thrown to the consumer
  // in place of the end.
  void finish(std::exception_ptr error = nullptr) const {
    std::unique_lock lock(state_->mutex);
    if (state_->finished) return;
    state_->finished = true;
    state_->error = error;
    state_->room.notify_all();  // other copies waiting to yield give up
    state_->wake(lock);
  }

 private:
  friend std::pair<Stream<T>, Continuation<T>> makeStream<T>(StreamLimit<T>);
  explicit Continuation(std::shared_ptr<detail::StreamState<T>> state) : state_(std::move(state)) {}
  std::shared_ptr<detail::StreamState<T>> state_;
};

// The consumer side: values in the order yielded, then the end (an empty optional) or the error.
// A consumer that stops before the end calls cancel(), or drops every copy, so that a producer
// waiting for room in a bounded stream goes on.
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
        if (!state->values.empty() || state->finished || state->cancelled) return false;
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

  // Whether the producer has ended the stream, though values may still be there to take: for a
  // consumer whose work under way is moot once no more input is coming.
  bool ended() const {
    std::lock_guard lock(state_->mutex);
    return state_->finished;
  }

  // For a consumer thread: blocks until a value or the end is there.
  std::optional<T> waitNext() const {
    std::unique_lock lock(state_->mutex);
    state_->arrived.wait(
        lock, [this] { return !state_->values.empty() || state_->finished || state_->cancelled; });
    return state_->take();
  }

  // Takes nothing more: the values held are dropped, later ones are dropped as they are yielded,
  // and next() gives the end.
  void cancel() const { state_->cancel(); }

 private:
  // Cancels the stream when the last copy of its consumer side goes.
  struct Reader {
    explicit Reader(std::shared_ptr<detail::StreamState<T>> s) : state(std::move(s)) {}
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    ~Reader() { state->cancel(); }
    std::shared_ptr<detail::StreamState<T>> state;
  };

  friend std::pair<Stream<T>, Continuation<T>> makeStream<T>(StreamLimit<T>);
  explicit Stream(std::shared_ptr<detail::StreamState<T>> state)
      : state_(state), reader_(std::make_shared<Reader>(std::move(state))) {}
  std::shared_ptr<detail::StreamState<T>> state_;
  std::shared_ptr<Reader> reader_;
};

template <class T>
std::pair<Stream<T>, Continuation<T>> makeStream(StreamLimit<T> limit) {
  auto state = std::make_shared<detail::StreamState<T>>();
  state->limit = std::move(limit);
  return {Stream<T>(state), Continuation<T>(state)};
}

}  // namespace runtime
