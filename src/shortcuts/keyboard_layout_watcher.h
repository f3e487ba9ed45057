#pragma once

#include <functional>
#include <memory>

class QSocketNotifier;

namespace vidorel {

class XkbKeyboardLayout;

// Tells the program when the X keyboard layout changed (setxkbmap, another
// group), through the Qt event loop, so that shown key names follow it.
class KeyboardLayoutWatcher {
public:
  KeyboardLayoutWatcher(XkbKeyboardLayout& layout, std::function<void()> changed);
  ~KeyboardLayoutWatcher();
  KeyboardLayoutWatcher(const KeyboardLayoutWatcher&) = delete;
  KeyboardLayoutWatcher& operator=(const KeyboardLayoutWatcher&) = delete;

private:
  XkbKeyboardLayout& layout_;
  std::function<void()> changed_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace vidorel
