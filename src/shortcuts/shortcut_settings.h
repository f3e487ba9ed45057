#pragma once

#include "shortcuts/desktop_shortcuts.h"
#include "shortcuts/hot_key_registrations.h"
#include "shortcuts/shortcut_action.h"
#include "shortcuts/shortcut_binding.h"
#include "workflow/collaborators.h"
#include "workflow/preferences.h"

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace vidorel {

inline constexpr const char* kKeyboardShortcutsHeading = "Keyboard Shortcuts";
inline constexpr const char* kRestoreDefaultsTitle = "Restore Defaults";
inline constexpr const char* kGeneralHeading = "General";
inline constexpr const char* kAutoCheckForUpdatesTitle = "Check for updates automatically";
inline constexpr const char* kEvenLoudnessTitle = "Even out loudness";
// Row warnings of this port: a key the hot keys cannot take, and a
// shortcut the system would not register.
inline constexpr const char* kUnusableKeyWarning = "This key cannot be part of a shortcut";
inline constexpr const char* kHeldElsewhereWarning = "Not working: another program uses it";
inline constexpr const char* kNotRegisteredWarning = "Not working: the system refused it";

// What the settings window needs of the rest of the program.
struct ShortcutSettingsServices {
  Preferences& preferences;
  GlobalShortcuts& hotKeys;
  // The coordinator's effective bindings (may lack entries: those actions
  // have their factory binding).
  std::function<ShortcutBindings()> bindings;
  // Rebuilds the effective bindings from the preferences and registers the
  // hot keys again.
  std::function<void()> reloadShortcuts;
  std::function<bool()> automaticallyChecksForUpdates;
  std::function<void(bool)> setAutomaticallyChecksForUpdates;
  // How the hot keys' last registration went; none where nothing reports it.
  const HotKeyRegistrations* registrations = nullptr;
  // Where the desktop owns the global actions' keys (Wayland): what it said
  // about them; none where the program grabs its keys itself.
  const DesktopShortcuts* desktop = nullptr;
  // How a command in the desktop's keyboard settings starts this program.
  std::string ctlProgram = "vidorel";
};

// The settings window's behaviour: one row per action with its warning,
// saving accepted bindings, suspending the hot keys while a row records,
// Restore Defaults and the update switch.
class ShortcutSettings {
public:
  explicit ShortcutSettings(ShortcutSettingsServices services) : services_(std::move(services)) {}

  ShortcutBinding effectiveBinding(ShortcutAction action) const;
  // The row's warning; empty for none. The recorder's warning comes first;
  // a global shortcut that the last registration refused adds a line. A
  // row the desktop owns has none (its note says where it is changed).
  std::string warning(ShortcutAction action) const;
  // Whether the row records keys or shows what the desktop said, and its
  // note.
  ShortcutRowContent rowContent(ShortcutAction action) const;
  // The paragraph above the rows; empty for none.
  std::string notice() const;

  // The recorder of `action` offers `candidate`: returns the action that
  // already uses it (refused) or nothing, and sets the row's warning.
  std::optional<ShortcutAction> conflict(ShortcutAction action, const ShortcutBinding& candidate);
  // The recorder of `action` heard a key no binding can hold (a media key,
  // a lock key): refused, with the row's warning.
  void refuseKey(ShortcutAction action);
  // An accepted binding becomes the action's customised one.
  void save(ShortcutAction action, const ShortcutBinding& binding);
  // A recorder starts or stops listening.
  void recordingStarted();
  void recordingStopped();
  // Every action back to its factory binding; row warnings stay.
  void restoreDefaults();

  bool automaticallyChecksForUpdates() const;
  void setAutomaticallyChecksForUpdates(bool on);

  // Exports bring every scene to one loudness.
  bool evenLoudness() const { return services_.preferences.evenLoudness(); }
  void setEvenLoudness(bool on) { services_.preferences.setEvenLoudness(on); }

private:
  ShortcutSettingsServices services_;
  std::map<ShortcutAction, std::string> warnings_;
};

} // namespace vidorel
