#pragma once

#include "base/log.h"
#include "workflow/collaborators.h"

#include <map>
#include <memory>
#include <string>

class QSocketNotifier;
struct sd_bus;
struct sd_bus_slot;

namespace vidorel {

// The binding as a trigger of the XDG shortcuts format ("CTRL+SHIFT+Return"):
// ⌘ is CTRL, ⇧ SHIFT, ⌥ ALT, ⌃ LOGO, the key by its XKB keysym name. Empty
// when the key has no such name.
std::string portalTriggerText(const ShortcutBinding& binding);

// System-wide hot keys through the xdg-desktop-portal GlobalShortcuts
// interface (KDE Plasma 5.27+, GNOME 48+): one session, the bindings bound
// as preferred triggers (the desktop may assign others), and the Activated
// signal running the action's handler on the Qt event loop.
class PortalGlobalShortcuts final : public GlobalShortcuts {
public:
  explicit PortalGlobalShortcuts(Logger& logger);
  ~PortalGlobalShortcuts() override;
  PortalGlobalShortcuts(const PortalGlobalShortcuts&) = delete;
  PortalGlobalShortcuts& operator=(const PortalGlobalShortcuts&) = delete;

  // True when the session bus has the GlobalShortcuts portal.
  bool available() const { return available_; }

  void setHandler(ShortcutAction action, std::function<void()> handler) override;
  void registerBindings(const ShortcutBindings& bindings) override;
  void unregisterAll() override;

  // What the desktop says triggers the action ("Ctrl+Shift+Return"); empty
  // when it assigned nothing.
  std::string assignedTrigger(ShortcutAction action) const;

  // The portal's Activated signal: runs the handler of a bound action of
  // this session.
  void activated(const std::string& session, const std::string& shortcutId);

private:
  bool createSession();
  void readBus();

  Logger& logger_;
  sd_bus* bus_ = nullptr;
  sd_bus_slot* activatedSlot_ = nullptr;
  std::unique_ptr<QSocketNotifier> notifier_;
  bool available_ = false;
  std::string senderName_;
  std::string sessionHandle_;
  int serial_ = 0;
  std::map<ShortcutAction, std::function<void()>> handlers_;
  ShortcutBindings bound_;
  std::map<ShortcutAction, std::string> assigned_;
};

} // namespace vidorel
