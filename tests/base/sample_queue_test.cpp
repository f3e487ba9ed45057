#include "base/sample_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <vector>

namespace vidorel {
namespace {

TEST(SampleQueue, RunsInOrderOnOneThreadAndDrains) {
  std::vector<int> seen;
  std::atomic<bool> offCaller{true};
  {
    SampleQueue queue("org.vidorel.Vidorel.samples");
    EXPECT_EQ(queue.label(), "org.vidorel.Vidorel.samples");
    auto caller = std::this_thread::get_id();
    for (int i = 0; i < 1000; ++i)
      queue.async([&, i, caller] {
        if (std::this_thread::get_id() == caller)
          offCaller = false;
        seen.push_back(i);
      });
    queue.drain();
    std::vector<int> expected(1000);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(seen, expected);
    queue.async([&] { seen.push_back(-1); });
  } // the destructor runs what is left before it joins
  EXPECT_TRUE(offCaller);
  EXPECT_EQ(seen.back(), -1);
}

} // namespace
} // namespace vidorel
