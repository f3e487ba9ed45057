#pragma once

#include "shell/countdown_overlay.h"

#include <memory>

class QSocketNotifier;
struct xcb_connection_t;

namespace vidorel {

// Escape as a system-wide key while a countdown runs: a passive grab of the
// Escape key on the root window (also with NumLock and CapsLock held), so
// it reaches the countdown while another program is in front. Its events
// arrive through the Qt event loop. Without an X display it does nothing.
class X11EscapeGrab final : public CountdownCancelInput {
public:
  X11EscapeGrab();
  ~X11EscapeGrab() override;
  X11EscapeGrab(const X11EscapeGrab&) = delete;
  X11EscapeGrab& operator=(const X11EscapeGrab&) = delete;

  void install(std::function<void()> cancel) override;
  void remove() override;

private:
  void readEvents();

  xcb_connection_t* connection_ = nullptr;
  std::uint32_t root_ = 0;
  std::uint8_t escapeKeyCode_ = 0;
  std::unique_ptr<QSocketNotifier> notifier_;
  std::function<void()> cancel_;
  bool grabbed_ = false;
};

} // namespace vidorel
