#include "shell/qt_main_loop.h"

#include <QMetaObject>
#include <QTimer>

namespace vidorel {

QtMainLoop::QtMainLoop() = default;
QtMainLoop::~QtMainLoop() = default;

void QtMainLoop::post(std::function<void()> fn) {
  QMetaObject::invokeMethod(&context_, std::move(fn), Qt::QueuedConnection);
}

void QtMainLoop::postAfter(Milliseconds delay, std::function<void()> fn) {
  // A timer may only be started on the thread that owns its receiver, so
  // the timer is armed from the main thread itself. Precise timers keep the
  // countdown's tenths of a second close to real tenths.
  QObject* context = &context_;
  int msec = static_cast<int>(delay.count() < 0 ? 0 : delay.count());
  QMetaObject::invokeMethod(
      context,
      [context, msec, fn = std::move(fn)]() mutable {
        QTimer::singleShot(msec, Qt::PreciseTimer, context, std::move(fn));
      },
      Qt::QueuedConnection);
}

} // namespace vidorel
