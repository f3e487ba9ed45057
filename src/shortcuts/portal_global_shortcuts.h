#pragma once

#include "base/log.h"
#include "shortcuts/desktop_shortcuts.h"
#include "workflow/collaborators.h"

#include <map>
#include <memory>
#include <string>

class QSocketNotifier;
struct sd_bus;
struct sd_bus_message;
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
//
// The desktop may show a dialog before it answers a binding and the user
// may leave it open for minutes, so no request is waited for: each is sent
// and its Response signal is handled when the bus wakes the Qt event loop.
class PortalGlobalShortcuts final : public GlobalShortcuts, public DesktopShortcuts {
public:
  explicit PortalGlobalShortcuts(Logger& logger);
  ~PortalGlobalShortcuts() override;
  PortalGlobalShortcuts(const PortalGlobalShortcuts&) = delete;
  PortalGlobalShortcuts& operator=(const PortalGlobalShortcuts&) = delete;

  // True when the session bus has the GlobalShortcuts portal.
  bool available() const { return available_; }

  void setHandler(ShortcutAction action, std::function<void()> handler) override;
  // Returns at once; the bindings are bound once the desktop answers. While
  // a request is out, the latest bindings wait and are sent after it.
  // Bindings the desktop already bound are not sent again.
  void registerBindings(const ShortcutBindings& bindings) override;
  void unregisterAll() override;

  // What the desktop says triggers the action ("Ctrl+Shift+Return"); empty
  // when it assigned nothing.
  std::string assignedTrigger(ShortcutAction action) const;

  // Absent without the portal; waiting until the desktop answered the
  // binding, then bound or refused. The desktop's later changes of a
  // trigger (ShortcutsChanged) are followed.
  DesktopShortcutsStatus desktopStatus() const override;
  ObserverID addStatusObserver(std::function<void()> changed) override;
  void removeStatusObserver(ObserverID id) override;

  // The portal's signals and answers, as the bus delivers them.
  void activated(const std::string& session, const std::string& shortcutId);
  void shortcutsChanged(const std::string& session,
                        const std::map<std::string, std::string>& triggers);
  void methodReplied(sd_bus_message* reply);
  void responded(sd_bus_message* response);

private:
  enum class Request { none, createSession, bind };

  void sendNext();
  bool send(Request request, const std::string& method,
            const std::function<int(sd_bus_message*, const std::string&)>& append);
  void finishRequest();
  // Whether the desktop's list of shortcuts (id → trigger) names every /
  // any binding last sent.
  bool bindsEverySent(const std::map<std::string, std::string>& triggers) const;
  bool bindsAnySent(const std::map<std::string, std::string>& triggers) const;
  void acceptBound(const std::map<std::string, std::string>& triggers);
  void setState(DesktopShortcutsState state);
  void readBus();
  void readBusSoon();

  Logger& logger_;
  sd_bus* bus_ = nullptr;
  sd_bus_slot* activatedSlot_ = nullptr;
  sd_bus_slot* changedSlot_ = nullptr;
  std::unique_ptr<QSocketNotifier> notifier_;
  bool available_ = false;
  std::string senderName_;
  std::string sessionHandle_;
  int serial_ = 0;
  std::map<ShortcutAction, std::function<void()>> handlers_;

  // The request out (one at a time): its Response match and method call.
  Request request_ = Request::none;
  sd_bus_slot* responseSlot_ = nullptr;
  sd_bus_slot* callSlot_ = nullptr;
  // What the program wants bound now (empty while suspended), what the
  // last BindShortcuts sent and whether the desktop answered it, and what
  // the desktop last bound.
  ShortcutBindings wanted_;
  ShortcutBindings sent_;
  bool answered_ = false;
  ShortcutBindings bound_;
  bool sessionRefused_ = false;

  std::map<ShortcutAction, std::string> assigned_;
  DesktopShortcutsState state_ = DesktopShortcutsState::absent;
  std::map<ObserverID, std::function<void()>> observers_;
  ObserverID nextObserver_ = 1;
};

} // namespace vidorel
