#pragma once

#include "base/main_loop.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>

namespace vidorel {

// A real-time main loop on the calling thread, for the command-line tools
// that run without Qt. run() returns after quit().
class BlockingMainLoop final : public MainLoop {
public:
  void post(std::function<void()> fn) override;
  void postAfter(Milliseconds delay, std::function<void()> fn) override;

  void run();
  void quit();

private:
  using Clock = std::chrono::steady_clock;
  using Key = std::pair<Clock::time_point, std::uint64_t>;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<Key, std::function<void()>> queue_;
  std::uint64_t nextSequence_ = 0;
  bool quit_ = false;
};

} // namespace vidorel
