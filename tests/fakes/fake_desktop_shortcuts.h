#pragma once

#include "shortcuts/desktop_shortcuts.h"

#include <functional>
#include <map>

namespace vidorel::testing {

// What the desktop says about its global shortcuts, set by the test; every
// change is reported to the observers as the portal client does.
class FakeDesktopShortcuts final : public DesktopShortcuts {
public:
  DesktopShortcutsStatus status;

  DesktopShortcutsStatus desktopStatus() const override { return status; }
  ObserverID addStatusObserver(std::function<void()> changed) override {
    observers[next] = std::move(changed);
    return next++;
  }
  void removeStatusObserver(ObserverID id) override { observers.erase(id); }

  void change(DesktopShortcutsStatus now) {
    status = std::move(now);
    std::map<ObserverID, std::function<void()>> current = observers;
    for (const auto& [id, changed] : current)
      changed();
  }

  std::map<ObserverID, std::function<void()>> observers;
  ObserverID next = 1;
};

} // namespace vidorel::testing
