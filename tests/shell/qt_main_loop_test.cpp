#include "shell/qt_main_loop.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace vidorel {
namespace {

int argc = 1;
char name[] = "qt_main_loop_test";
char* argv[] = {name, nullptr};

TEST(QtMainLoop, RunsPostsInOrderOnTheMainThreadFromAnyThread) {
  QCoreApplication app(argc, argv);
  QtMainLoop loop;
  std::vector<int> order;
  std::thread::id mainThread = std::this_thread::get_id();
  std::atomic<bool> allOnMain{true};

  loop.post([&] { order.push_back(1); });
  std::thread worker([&] {
    for (int i = 2; i <= 4; ++i)
      loop.post([&, i] {
        if (std::this_thread::get_id() != mainThread)
          allOnMain = false;
        order.push_back(i);
      });
  });
  worker.join();
  QElapsedTimer clock;
  clock.start();
  std::atomic<qint64> firedAfter{-1};
  std::thread delayed([&] {
    loop.postAfter(Milliseconds(200), [&] {
      if (std::this_thread::get_id() != mainThread)
        allOnMain = false;
      firedAfter = clock.elapsed();
      QCoreApplication::quit();
    });
  });
  delayed.join();
  app.exec();

  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_TRUE(allOnMain);
  EXPECT_GE(firedAfter.load(), 195);
}

} // namespace
} // namespace vidorel
