#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace vidorel {

// The capture pipeline's one serial queue: a worker thread running closures
// in the order they were posted. Every frame, every microphone buffer and
// every pause switch of a take passes through it, so the take writer needs
// no locks.
class SampleQueue {
public:
  // label names the worker thread (the application identifier + ".samples").
  explicit SampleQueue(std::string label);
  ~SampleQueue();
  SampleQueue(const SampleQueue&) = delete;
  SampleQueue& operator=(const SampleQueue&) = delete;

  const std::string& label() const { return label_; }

  void async(std::function<void()> fn);

  // Returns once everything posted before the call has run. Must not be
  // called from the queue itself.
  void drain();

  bool isCurrentThread() const { return std::this_thread::get_id() == worker_.get_id(); }

private:
  void run();

  std::string label_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> items_;
  bool stopping_ = false;
  std::thread worker_;
};

} // namespace vidorel
