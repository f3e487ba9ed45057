#pragma once

#include <chrono>
#include <functional>

namespace vidorel {

using Milliseconds = std::chrono::milliseconds;

// The one thread that owns the coordinator, the windows and every workflow
// object. Work from other threads reaches it only through post().
class MainLoop {
public:
  virtual ~MainLoop() = default;

  // Runs fn on the main loop after everything already posted. Safe to call
  // from any thread.
  virtual void post(std::function<void()> fn) = 0;

  // Runs fn on the main loop once delay has passed. Safe to call from any
  // thread.
  virtual void postAfter(Milliseconds delay, std::function<void()> fn) = 0;
};

} // namespace vidorel
