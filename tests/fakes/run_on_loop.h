#pragma once

// Runs a coroutine to its end on a real blocking main loop, as the app's
// loop would, and hands back its result or rethrows what it threw.

#include "base/blocking_main_loop.h"

#include <exception>
#include <optional>

namespace vidorel::testing {

template <typename T> T runOnLoop(BlockingMainLoop& loop, Task<T> task) {
  std::optional<T> result;
  std::exception_ptr error;
  auto wrapper = [](BlockingMainLoop& loop, Task<T> task, std::optional<T>& result,
                    std::exception_ptr& error) -> Task<void> {
    try {
      result.emplace(co_await task);
    } catch (...) {
      error = std::current_exception();
    }
    loop.quit();
  };
  Task<void> outer = wrapper(loop, std::move(task), result, error);
  loop.post([&outer] { std::move(outer).spawn(); });
  loop.run();
  if (error)
    std::rethrow_exception(error);
  return std::move(*result);
}

inline void runOnLoop(BlockingMainLoop& loop, Task<void> task) {
  auto wrapper = [](Task<void> task) -> Task<bool> {
    co_await task;
    co_return true;
  };
  runOnLoop<bool>(loop, wrapper(std::move(task)));
}

} // namespace vidorel::testing
