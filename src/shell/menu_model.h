#pragma once

#include "model/session.h"
#include "shortcuts/shortcut_action.h"
#include "shortcuts/shortcut_binding.h"
#include "workflow/app_state.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vidorel {

// What choosing a menu item does. The shell maps each to a coordinator
// command (or a window of its own).
enum class MenuCommand {
  none,
  openReviewWindow,
  newSession,
  startTake,
  openSession,
  nextScene,
  openRecoveredSession,
  discardRecoveredSessions,
  saveSession,
  saveSessionAs,
  closeRecording,
  exportFinalVideo,
  pauseRecording,
  resumeRecording,
  endTake,
  endTakeAndNextScene,
  openSettings,
  checkForUpdates,
  quit,
};

struct MenuEntry {
  enum class Kind { caption, item, separator };

  Kind kind = Kind::item;
  std::string title;
  bool enabled = true;
  // The action whose current binding the item shows and answers to.
  std::optional<ShortcutAction> keyEquivalentOf;
  // That binding, when the bindings have one for the action.
  std::optional<ShortcutBinding> keyEquivalent;
  MenuCommand command = MenuCommand::none;
  // For openRecoveredSession: the position in the recovered list.
  int recoveredIndex = -1;
};

// Everything the menu depends on, read from the coordinator each time the
// menu is drawn.
struct MenuInput {
  AppState state = AppState::idle;
  const Session* currentSession = nullptr;
  int currentTakeNumber = 1;
  const std::vector<Session>* recoverableSessions = nullptr;
  const std::map<ShortcutAction, ShortcutBinding>* shortcutBindings = nullptr;
};

// The menu, top to bottom.
std::vector<MenuEntry> buildMenu(const MenuInput& input);

// "Recording: 1 scene", or "Talk (3 scenes)" for a packaged session.
std::string sessionCaption(const Session& session);

// "Resume recording (2 scenes)".
std::string recoveredSessionTitle(const Session& session);

// The titles as one line per entry ("---" for separators, "(disabled)" after
// disabled items), for logs and the test hook.
std::string describeMenu(const std::vector<MenuEntry>& entries);

} // namespace vidorel

namespace vidorel {

// How the tray icon is drawn for a state: the asset as it is while idle
// (a template the desktop may recolour), else tinted over its opaque pixels
// with the state's colour at 60 %.
struct IconTint {
  bool tinted = false;
  unsigned char red = 0;
  unsigned char green = 0;
  unsigned char blue = 0;
  double alpha = 0.6;
  bool isTemplate = true;
};

IconTint menuBarIconTint(AppState state);

} // namespace vidorel
