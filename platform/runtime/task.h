// Tasks: coroutines that start at once, run on the loop that started them, and can be awaited
// for their value or their error.
#pragma once

#include <coroutine>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

namespace runtime {

template <class T>
class Task;

namespace detail {

template <class T>
struct TaskState {
  bool done = false;
  std::exception_ptr error;
  std::optional<T> value;
  std::coroutine_handle<> waiter;
};

template <>
struct TaskState<void> {
  bool done = false;
  std::exception_ptr error;
  std::coroutine_handle<> waiter;
};

template <class T>
struct PromiseBase {
  // The state outlives the coroutine frame: the frame frees itself when the body ends, and the
  // Task keeps the outcome for whoever awaits it later.
  std::shared_ptr<TaskState<T>> state = std::make_shared<TaskState<T>>();

  std::suspend_never initial_suspend() noexcept { return {}; }
  void unhandled_exception() noexcept { state->error = std::current_exception(); }

  struct Final {
    bool await_ready() noexcept { return false; }
    template <class P>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<P> self) noexcept {
      std::shared_ptr<TaskState<T>> s = self.promise().state;
      s->done = true;
      std::coroutine_handle<> waiter = std::exchange(s->waiter, {});
      self.destroy();
      return waiter ? waiter : std::noop_coroutine();
    }
    void await_resume() noexcept {}
  };
  Final final_suspend() noexcept { return {}; }
};

template <class T>
struct Promise : PromiseBase<T> {
  Task<T> get_return_object();
  template <class U>
  void return_value(U&& value) {
    this->state->value.emplace(std::forward<U>(value));
  }
};

template <>
struct Promise<void> : PromiseBase<void> {
  Task<void> get_return_object();
  void return_void() {}
};

}  // namespace detail

// A handle on a running coroutine. Dropping the handle does not stop the coroutine. Awaiting it
// gives its value or rethrows its error; only one coroutine may await a task, and only from the
// thread the task runs on.
template <class T = void>
class [[nodiscard]] Task {
 public:
  using promise_type = detail::Promise<T>;

  Task() = default;
  bool done() const { return state_ && state_->done; }
  std::exception_ptr error() const { return state_ ? state_->error : nullptr; }

  bool await_ready() const noexcept { return state_->done; }
  void await_suspend(std::coroutine_handle<> waiter) noexcept { state_->waiter = waiter; }
  T await_resume() {
    if (state_->error) std::rethrow_exception(state_->error);
    if constexpr (!std::is_void_v<T>) return std::move(*state_->value);
  }

 private:
  friend struct detail::Promise<T>;
  explicit Task(std::shared_ptr<detail::TaskState<T>> state) : state_(std::move(state)) {}
  std::shared_ptr<detail::TaskState<T>> state_;
};

namespace detail {
template <class T>
Task<T> Promise<T>::get_return_object() {
  return Task<T>(this->state);
}
inline Task<void> Promise<void>::get_return_object() { return Task<void>(this->state); }
}  // namespace detail

}  // namespace runtime
