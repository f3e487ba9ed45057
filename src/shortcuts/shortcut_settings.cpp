#include "shortcuts/shortcut_settings.h"

#include "shortcuts/shortcut_action.h"
#include "shortcuts/shortcut_conflicts.h"

namespace vidorel {

ShortcutBinding ShortcutSettings::effectiveBinding(ShortcutAction action) const {
  ShortcutBindings bindings = services_.bindings();
  auto found = bindings.find(action);
  return found == bindings.end() ? defaultBinding(action) : found->second;
}

ShortcutRowContent ShortcutSettings::rowContent(ShortcutAction action) const {
  if (!services_.desktop)
    return {};
  return shortcutRowContent(action, services_.desktop->desktopStatus(), services_.ctlProgram);
}

std::string ShortcutSettings::notice() const {
  if (!services_.desktop)
    return {};
  return desktopShortcutsNotice(services_.desktop->desktopStatus());
}

std::string ShortcutSettings::warning(ShortcutAction action) const {
  if (!rowContent(action).recordable)
    return {};
  std::string text;
  auto found = warnings_.find(action);
  if (found != warnings_.end())
    text = found->second;
  std::optional<int> error;
  if (services_.registrations)
    error = services_.registrations->registrationError(action);
  if (!error)
    return text;
  if (!text.empty())
    text += "\n";
  text += *error == kHotKeyHeldElsewhereStatus ? kHeldElsewhereWarning : kNotRegisteredWarning;
  return text;
}

void ShortcutSettings::refuseKey(ShortcutAction action) {
  warnings_[action] = kUnusableKeyWarning;
}

std::optional<ShortcutAction> ShortcutSettings::conflict(ShortcutAction action,
                                                         const ShortcutBinding& candidate) {
  ConflictCheck check = conflictingAction(action, candidate, services_.bindings());
  warnings_[action] = check.warning;
  return check.conflictingAction;
}

void ShortcutSettings::save(ShortcutAction action, const ShortcutBinding& binding) {
  services_.preferences.setBinding(binding, action);
  if (services_.reloadShortcuts)
    services_.reloadShortcuts();
}

void ShortcutSettings::recordingStarted() {
  services_.hotKeys.unregisterAll();
}

void ShortcutSettings::recordingStopped() {
  // Registered again whether or not anything changed: listening suspended
  // them all.
  ShortcutBindings all = services_.bindings();
  ShortcutBindings global;
  for (ShortcutAction action : globalShortcutActions) {
    auto found = all.find(action);
    global[action] = found == all.end() ? defaultBinding(action) : found->second;
  }
  services_.hotKeys.registerBindings(global);
}

void ShortcutSettings::restoreDefaults() {
  services_.preferences.removeCustomShortcuts();
  if (services_.reloadShortcuts)
    services_.reloadShortcuts();
}

bool ShortcutSettings::automaticallyChecksForUpdates() const {
  return services_.automaticallyChecksForUpdates ? services_.automaticallyChecksForUpdates()
                                                 : services_.preferences.autoCheckForUpdates();
}

void ShortcutSettings::setAutomaticallyChecksForUpdates(bool on) {
  if (services_.setAutomaticallyChecksForUpdates)
    services_.setAutomaticallyChecksForUpdates(on);
  else
    services_.preferences.storeAutoCheckForUpdates(on);
}

} // namespace vidorel
