#include "base/virtual_main_loop.h"

namespace vidorel {

void VirtualMainLoop::post(std::function<void()> fn) {
  postAfter(Milliseconds(0), std::move(fn));
}

void VirtualMainLoop::postAfter(Milliseconds delay, std::function<void()> fn) {
  std::lock_guard lock(mutex_);
  if (delay < Milliseconds(0))
    delay = Milliseconds(0);
  queue_.emplace(Key{now_ + delay, nextSequence_++}, std::move(fn));
}

Milliseconds VirtualMainLoop::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

size_t VirtualMainLoop::pendingCount() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

bool VirtualMainLoop::runNextDueBy(Milliseconds deadline) {
  std::function<void()> fn;
  {
    std::lock_guard lock(mutex_);
    if (queue_.empty() || queue_.begin()->first.first > deadline)
      return false;
    auto it = queue_.begin();
    if (it->first.first > now_)
      now_ = it->first.first;
    fn = std::move(it->second);
    queue_.erase(it);
  }
  fn();
  return true;
}

int VirtualMainLoop::runUntilIdle() {
  int count = 0;
  while (runNextDueBy(now()))
    ++count;
  return count;
}

void VirtualMainLoop::advance(Milliseconds delta) {
  Milliseconds deadline = now() + delta;
  while (runNextDueBy(deadline)) {
  }
  std::lock_guard lock(mutex_);
  now_ = deadline;
}

bool VirtualMainLoop::advanceUntil(const std::function<bool()>& pred, Milliseconds limit) {
  Milliseconds deadline = now() + limit;
  runUntilIdle();
  while (!pred()) {
    if (!runNextDueBy(deadline)) {
      std::lock_guard lock(mutex_);
      now_ = deadline;
      break;
    }
  }
  return pred();
}

} // namespace vidorel
