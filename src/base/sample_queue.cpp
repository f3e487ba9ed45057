#include "base/sample_queue.h"

#include <future>
#include <pthread.h>

namespace vidorel {

SampleQueue::SampleQueue(std::string label) : label_(std::move(label)) {
  worker_ = std::thread([this] { run(); });
  // Thread names are limited to 15 characters; keep the distinctive end.
  std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
  pthread_setname_np(worker_.native_handle(), name.c_str());
}

SampleQueue::~SampleQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  worker_.join();
}

void SampleQueue::async(std::function<void()> fn) {
  {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(fn));
  }
  wake_.notify_one();
}

void SampleQueue::drain() {
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  async([&done] { done.set_value(); });
  finished.wait();
}

void SampleQueue::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !items_.empty(); });
    if (items_.empty())
      return; // stopping, and everything posted has run
    std::function<void()> fn = std::move(items_.front());
    items_.pop_front();
    lock.unlock();
    fn();
    lock.lock();
  }
}

} // namespace vidorel
