#pragma once

#include "shortcuts/shortcut_action.h"

#include <optional>

namespace vidorel {

// What became of each binding in the hot keys' last registration pass, so
// that the settings window can say which shortcuts do not work.
class HotKeyRegistrations {
public:
  virtual ~HotKeyRegistrations() = default;
  // The status the system refused the action's binding with in the last
  // pass; nothing when it was registered or not asked for.
  virtual std::optional<int> registrationError(ShortcutAction action) const = 0;
};

// The status an X server refuses a grab with when another program already
// holds that key combination (BadAccess).
inline constexpr int kHotKeyHeldElsewhereStatus = 10;

} // namespace vidorel
