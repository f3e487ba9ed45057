#pragma once

#include "base/log.h"
#include "shortcuts/hot_key_registrations.h"
#include "workflow/collaborators.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

class QSocketNotifier;
struct xcb_connection_t;

namespace vidorel {

// System-wide hot keys on X11: every binding is a passive key grab on the
// root window, also with NumLock and CapsLock held, so it fires whichever
// program is in front. Key presses arrive through the Qt event loop (the
// main loop) and call the action's handler there.
//
// Each registration pass numbers its bindings 1, 2, 3, ... in the order it
// visits them; an id only means something within its pass.
class X11HotKeys final : public GlobalShortcuts, public HotKeyRegistrations {
public:
  // Opens its own connection to the display named by $DISPLAY (or
  // `displayName`); without a display every registration fails and logs.
  explicit X11HotKeys(Logger& logger, const char* displayName = nullptr);
  ~X11HotKeys() override;
  X11HotKeys(const X11HotKeys&) = delete;
  X11HotKeys& operator=(const X11HotKeys&) = delete;

  void setHandler(ShortcutAction action, std::function<void()> handler) override;
  void registerBindings(const ShortcutBindings& bindings) override;
  void unregisterAll() override;

  std::optional<int> registrationError(ShortcutAction action) const override;

  // The hot keys the last pass registered successfully.
  std::size_t registeredCount() const { return grabs_.size(); }

private:
  struct Grab {
    std::uint32_t id = 0;
    std::uint8_t keyCode = 0;
    std::uint16_t modifiers = 0;
  };

  // The X error code when the server refused one of the grabs (the others
  // of the binding are released again), 0 when all were taken.
  int grab(std::uint8_t keyCode, std::uint16_t modifiers);
  void ungrab(const Grab& grab);
  void readEvents();
  void dispatch(std::uint8_t keyCode, std::uint16_t state);

  Logger& logger_;
  xcb_connection_t* connection_ = nullptr;
  std::uint32_t root_ = 0;
  std::unique_ptr<QSocketNotifier> notifier_;
  bool listening_ = false;
  std::map<ShortcutAction, std::function<void()>> handlers_;
  std::vector<Grab> grabs_;
  std::map<std::uint32_t, ShortcutAction> idToAction_;
  // The bindings the last pass could not register, with the status.
  std::map<ShortcutAction, int> errors_;
};

} // namespace vidorel
