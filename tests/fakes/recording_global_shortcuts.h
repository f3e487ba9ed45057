#pragma once

#include "workflow/collaborators.h"

#include <functional>
#include <map>
#include <vector>

namespace vidorel::testing {

// Global hot keys that only remember: what is registered now, how often
// everything was unregistered, and the handlers installed.
class RecordingGlobalShortcuts final : public GlobalShortcuts {
public:
  ShortcutBindings registered;
  int unregisterCount = 0;
  int registerCount = 0;
  std::map<ShortcutAction, std::function<void()>> handlers;

  void setHandler(ShortcutAction action, std::function<void()> handler) override {
    handlers[action] = std::move(handler);
  }
  void registerBindings(const ShortcutBindings& bindings) override {
    registered = bindings;
    ++registerCount;
  }
  void unregisterAll() override {
    registered.clear();
    ++unregisterCount;
  }
  // A hot key pressed on the desktop: runs its handler when registered.
  bool press(const ShortcutBinding& binding) {
    for (const auto& [action, registeredBinding] : registered)
      if (registeredBinding.carbonKeyCode == binding.carbonKeyCode &&
          registeredBinding.carbonModifiers == binding.carbonModifiers) {
        if (auto handler = handlers.find(action); handler != handlers.end() && handler->second)
          handler->second();
        return true;
      }
    return false;
  }
};

} // namespace vidorel::testing
