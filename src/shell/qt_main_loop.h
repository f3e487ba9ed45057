#pragma once

#include "base/main_loop.h"

#include <QObject>

namespace vidorel {

// The app's main loop is Qt's event loop. Work posted from any thread runs
// on the thread that made this object (the GUI thread), in posting order.
class QtMainLoop final : public MainLoop {
public:
  QtMainLoop();
  ~QtMainLoop() override;
  QtMainLoop(const QtMainLoop&) = delete;
  QtMainLoop& operator=(const QtMainLoop&) = delete;

  void post(std::function<void()> fn) override;
  void postAfter(Milliseconds delay, std::function<void()> fn) override;

private:
  // Receiver of every queued call; it lives on the main thread, so queued
  // functors always run there.
  QObject context_;
};

} // namespace vidorel
