#include "base/blocking_main_loop.h"

namespace vidorel {

void BlockingMainLoop::post(std::function<void()> fn) {
  postAfter(Milliseconds(0), std::move(fn));
}

void BlockingMainLoop::postAfter(Milliseconds delay, std::function<void()> fn) {
  {
    std::lock_guard lock(mutex_);
    queue_.emplace(Key{Clock::now() + delay, nextSequence_++}, std::move(fn));
  }
  wake_.notify_one();
}

void BlockingMainLoop::quit() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  wake_.notify_one();
}

void BlockingMainLoop::run() {
  std::unique_lock lock(mutex_);
  quit_ = false;
  while (!quit_) {
    if (queue_.empty()) {
      wake_.wait(lock);
      continue;
    }
    auto it = queue_.begin();
    if (it->first.first > Clock::now()) {
      wake_.wait_until(lock, it->first.first);
      continue;
    }
    std::function<void()> fn = std::move(it->second);
    queue_.erase(it);
    lock.unlock();
    fn();
    lock.lock();
  }
}

} // namespace vidorel
