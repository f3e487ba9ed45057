#pragma once

#include "shortcuts/shortcut_action.h"

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace vidorel {

// Who holds the keys of the four global actions, as far as the settings
// window cares.
enum class DesktopShortcutsState {
  // The program grabs its keys itself (X11): the rows record them.
  notUsed,
  // The desktop was asked to bind the global actions and has not answered
  // yet (its dialog may stay open as long as the user likes).
  waiting,
  // The desktop bound them and says which trigger each has.
  bound,
  // The desktop has the shortcuts service but did not bind them.
  refused,
  // The desktop gives programs no global shortcuts at all.
  absent,
};

struct DesktopShortcutsStatus {
  DesktopShortcutsState state = DesktopShortcutsState::notUsed;
  // While bound: the desktop's own description of each action's trigger
  // ("Ctrl+Shift+Return"); an action it gave no trigger is missing.
  std::map<ShortcutAction, std::string> triggers;
};

// Global shortcuts that the desktop owns (Wayland): what it said about
// them, and a call on the main loop whenever that changes.
class DesktopShortcuts {
public:
  using ObserverID = int;
  virtual ~DesktopShortcuts() = default;
  virtual DesktopShortcutsStatus desktopStatus() const = 0;
  virtual ObserverID addStatusObserver(std::function<void()> changed) = 0;
  virtual void removeStatusObserver(ObserverID id) = 0;
};

// Texts of the settings window where the desktop owns the global keys.
inline constexpr const char* kAskingTheDesktopText = "Asking the desktop…";
inline constexpr const char* kInDesktopSettingsText = "In desktop settings";
inline constexpr const char* kChangedInDesktopNote = "Changed in the desktop's keyboard settings";
inline constexpr const char* kAssignInDesktopNote = "Assign it in the desktop's keyboard settings";
inline constexpr const char* kDesktopAssignsNote = "The desktop assigns it";
inline constexpr const char* kNoShortcutsPortalNotice =
    "This desktop gives programs no global shortcuts. To use these actions while another "
    "program is in front, bind each command below to a key in the desktop's keyboard settings.";
inline constexpr const char* kShortcutsRefusedNotice =
    "The desktop did not bind Vidorel's global shortcuts. To use these actions while another "
    "program is in front, bind each command below to a key in the desktop's keyboard settings.";

// What one row of the settings window shows.
struct ShortcutRowContent {
  // The recorder control; otherwise a read-only field showing `fieldText`.
  bool recordable = true;
  std::string fieldText;
  // A small line under the row saying where the key is changed (or the
  // command to bind); empty for none.
  std::string note;
};

// `ctlProgram` is how the desktop's settings should start this program
// (see `ctlProgramName`).
ShortcutRowContent shortcutRowContent(ShortcutAction action, const DesktopShortcutsStatus& status,
                                      const std::string& ctlProgram);
// The paragraph above the rows; empty unless the rows show commands.
std::string desktopShortcutsNotice(const DesktopShortcutsStatus& status);

// The `vidorel ctl` word of a global action ("start-pause"); empty for the
// others.
std::string_view ctlWord(ShortcutAction action);
// "vidorel ctl end-take", with `ctlProgram` in front.
std::string ctlCommandLine(const std::string& ctlProgram, ShortcutAction action);

// How a command line names the running program: "vidorel" when the first
// "vidorel" on `pathVariable` is the same file as `executable`, otherwise
// the executable's full path, quoted for a shell-like command parser when
// it holds anything beyond plain path characters.
std::string ctlProgramName(const std::filesystem::path& executable, std::string_view pathVariable);

} // namespace vidorel
