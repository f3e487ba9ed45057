#pragma once

#include "base/main_loop.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

namespace vidorel {

// A main loop whose clock only moves when a test says so, so that a
// three-second countdown or a two-minute poll runs in microseconds.
class VirtualMainLoop final : public MainLoop {
public:
  void post(std::function<void()> fn) override;
  void postAfter(Milliseconds delay, std::function<void()> fn) override;

  // Virtual time since the loop was made.
  Milliseconds now() const;

  // Runs everything that is due now, including work that it posts, without
  // moving the clock. Returns the number of items run.
  int runUntilIdle();

  // Moves the clock forward by delta, running each item at its own time.
  void advance(Milliseconds delta);

  // Moves the clock item by item until pred() holds or limit has passed.
  // Returns pred().
  bool advanceUntil(const std::function<bool()>& pred, Milliseconds limit);

  // Number of items waiting, due or not.
  size_t pendingCount() const;

private:
  bool runNextDueBy(Milliseconds deadline);

  using Key = std::pair<Milliseconds, std::uint64_t>;
  mutable std::mutex mutex_;
  std::map<Key, std::function<void()>> queue_;
  Milliseconds now_{0};
  std::uint64_t nextSequence_ = 0;
};

} // namespace vidorel
