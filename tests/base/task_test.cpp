#include "base/task.h"
#include "base/virtual_main_loop.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace vidorel {
namespace {

using namespace std::chrono_literals;

Task<int> delayedValue(MainLoop& loop, int value, Milliseconds delay) {
  co_await sleepFor(loop, delay);
  co_return value;
}

Task<void> sumOfTwo(MainLoop& loop, int& out, std::vector<Milliseconds>& times,
                    VirtualMainLoop& clock) {
  int a = co_await delayedValue(loop, 2, 1000ms);
  times.push_back(clock.now());
  int b = co_await delayedValue(loop, 3, 2000ms);
  times.push_back(clock.now());
  out = a + b;
}

TEST(Task, AwaitsSleepsAndOtherTasksInVirtualTime) {
  VirtualMainLoop loop;
  int result = 0;
  std::vector<Milliseconds> times;
  spawn(sumOfTwo(loop, result, times, loop));
  EXPECT_EQ(result, 0) << "a task runs until its first suspension only";
  loop.advance(999ms);
  EXPECT_TRUE(times.empty());
  loop.advance(1ms);
  ASSERT_EQ(times.size(), 1u);
  EXPECT_EQ(times[0], 1000ms);
  loop.advance(5000ms);
  EXPECT_EQ(result, 5);
  EXPECT_EQ(times[1], 3000ms);
}

Task<void> askPlatform(MainLoop& loop, int& step, std::thread& worker, std::thread::id& resumedOn) {
  co_await awaitCallback<void>(loop, [](auto complete) { complete(); });
  step = 1;
  std::string answer = co_await awaitCallback<std::string>(
      loop, [&](auto done) { worker = std::thread([done] { done("granted"); }); });
  resumedOn = std::this_thread::get_id();
  step = answer == "granted" ? 2 : -1;
}

// A callback made at once, or from another thread, resumes the task through
// the loop, never on the calling thread.
TEST(Task, CallbacksResumeThroughTheLoop) {
  VirtualMainLoop loop;
  int step = 0;
  std::thread worker;
  std::thread::id resumedOn;
  spawn(askPlatform(loop, step, worker, resumedOn));
  EXPECT_EQ(step, 0);
  loop.runUntilIdle();
  worker.join();
  loop.runUntilIdle();
  EXPECT_EQ(step, 2);
  EXPECT_EQ(resumedOn, std::this_thread::get_id());
}

Task<int> failing() {
  throw std::runtime_error("boom");
  co_return 1;
}

Task<void> catching(std::string& message) {
  try {
    co_await failing();
  } catch (const std::exception& error) {
    message = error.what();
  }
}

TEST(Task, ExceptionsReachTheAwaitingTask) {
  std::string message;
  spawn(catching(message));
  EXPECT_EQ(message, "boom");
}

} // namespace
} // namespace vidorel
