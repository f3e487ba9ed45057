#pragma once

// Coroutines for the workflow's asynchronous steps. A Task is lazy: it runs
// when it is awaited or spawned. Everything a task awaits (a sleep, a
// platform callback) resumes it through the main loop, so a task's code
// always runs on the main thread, in the order it reads.

#include "base/main_loop.h"

#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

namespace vidorel {

template <typename T> class Task;

namespace detail {

struct TaskPromiseBase {
  std::coroutine_handle<> continuation;
  std::exception_ptr error;
  bool detached = false;

  std::suspend_always initial_suspend() noexcept { return {}; }

  template <typename Promise> struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> handle) noexcept {
      TaskPromiseBase& promise = handle.promise();
      if (promise.detached) {
        // Nobody waits for a spawned task; an escaped exception is a bug.
        if (promise.error)
          std::terminate();
        handle.destroy();
        return std::noop_coroutine();
      }
      if (promise.continuation)
        return promise.continuation;
      return std::noop_coroutine();
    }
    void await_resume() noexcept {}
  };

  void unhandled_exception() noexcept { error = std::current_exception(); }
};

template <typename T> struct TaskPromise : TaskPromiseBase {
  std::optional<T> value;
  Task<T> get_return_object() noexcept;
  FinalAwaiter<TaskPromise> final_suspend() noexcept { return {}; }
  template <typename U> void return_value(U&& result) { value.emplace(std::forward<U>(result)); }
  T take() {
    if (error)
      std::rethrow_exception(error);
    return std::move(*value);
  }
};

template <> struct TaskPromise<void> : TaskPromiseBase {
  Task<void> get_return_object() noexcept;
  FinalAwaiter<TaskPromise> final_suspend() noexcept { return {}; }
  void return_void() noexcept {}
  void take() {
    if (error)
      std::rethrow_exception(error);
  }
};

} // namespace detail

template <typename T = void> class [[nodiscard]] Task {
public:
  using promise_type = detail::TaskPromise<T>;
  using Handle = std::coroutine_handle<promise_type>;

  explicit Task(Handle handle) noexcept : handle_(handle) {}
  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { reset(); }

  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
    handle_.promise().continuation = awaiting;
    return handle_;
  }
  T await_resume() { return handle_.promise().take(); }

  // Starts the task without anyone awaiting it; its frame frees itself when
  // it ends. Commands use this to launch work and return at once.
  void spawn() && {
    Handle handle = std::exchange(handle_, {});
    handle.promise().detached = true;
    handle.resume();
  }

  bool done() const noexcept { return !handle_ || handle_.done(); }

private:
  void reset() {
    if (handle_)
      handle_.destroy();
    handle_ = {};
  }

  Handle handle_;
};

namespace detail {
template <typename T> Task<T> TaskPromise<T>::get_return_object() noexcept {
  return Task<T>(std::coroutine_handle<TaskPromise<T>>::from_promise(*this));
}
inline Task<void> TaskPromise<void>::get_return_object() noexcept {
  return Task<void>(std::coroutine_handle<TaskPromise<void>>::from_promise(*this));
}
} // namespace detail

// Launches a task on its own. Same as std::move(task).spawn().
inline void spawn(Task<void> task) {
  std::move(task).spawn();
}

// co_await sleepFor(loop, delay): resumes on the loop once delay has passed.
class SleepAwaiter {
public:
  SleepAwaiter(MainLoop& loop, Milliseconds delay) : loop_(loop), delay_(delay) {}
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> handle) {
    loop_.postAfter(delay_, [handle] { handle.resume(); });
  }
  void await_resume() const noexcept {}

private:
  MainLoop& loop_;
  Milliseconds delay_;
};

inline SleepAwaiter sleepFor(MainLoop& loop, Milliseconds delay) {
  return {loop, delay};
}

// co_await yieldToLoop(loop): lets everything already posted run first.
inline SleepAwaiter yieldToLoop(MainLoop& loop) {
  return {loop, Milliseconds(0)};
}

// Awaits a callback-style operation: start receives a completion function
// that the operation calls exactly once, from any thread; the awaiting task
// resumes on the loop with the value passed to it.
template <typename T> class CallbackAwaiter {
public:
  using Completion = std::function<void(T)>;
  using Starter = std::function<void(Completion)>;

  CallbackAwaiter(MainLoop& loop, Starter start) : loop_(loop), start_(std::move(start)) {}
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> handle) {
    MainLoop* loop = &loop_;
    auto* result = &result_;
    start_([loop, result, handle](T value) {
      loop->post([result, handle, value = std::move(value)]() mutable {
        result->emplace(std::move(value));
        handle.resume();
      });
    });
  }
  T await_resume() { return std::move(*result_); }

private:
  MainLoop& loop_;
  Starter start_;
  std::optional<T> result_;
};

template <> class CallbackAwaiter<void> {
public:
  using Completion = std::function<void()>;
  using Starter = std::function<void(Completion)>;

  CallbackAwaiter(MainLoop& loop, Starter start) : loop_(loop), start_(std::move(start)) {}
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> handle) {
    MainLoop* loop = &loop_;
    start_([loop, handle] { loop->post([handle] { handle.resume(); }); });
  }
  void await_resume() const noexcept {}

private:
  MainLoop& loop_;
  Starter start_;
};

template <typename T>
CallbackAwaiter<T> awaitCallback(MainLoop& loop, typename CallbackAwaiter<T>::Starter start) {
  return CallbackAwaiter<T>(loop, std::move(start));
}

} // namespace vidorel
