#pragma once

#include <QApplication>
#include <QByteArray>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <utility>

namespace vidorel::testing {

// A widget test program's one QApplication, deleted after the last test (left
// to static destruction it crashes at exit). `platform` unless QT_QPA_PLATFORM.
class QtApplicationEnvironment final : public ::testing::Environment {
public:
  explicit QtApplicationEnvironment(const char* platform = nullptr) : platform_(platform) {}

  void SetUp() override {
    if (platform_ && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
      qputenv("QT_QPA_PLATFORM", platform_);
    application_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override { application_.reset(); }

private:
  const char* platform_;
  int argc_ = 1;
  char name_[24] = "vidorel-widget-test";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> application_;
};

// Runs the event loop until `done` holds or the time is up; whether it holds.
template <typename Predicate> bool spinUntil(Predicate done, int timeoutMs = 5000) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < timeoutMs)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  return done();
}

template <typename Predicate> bool spinUntil(Predicate done, std::chrono::milliseconds limit) {
  return spinUntil(std::move(done), static_cast<int>(limit.count()));
}

} // namespace vidorel::testing
