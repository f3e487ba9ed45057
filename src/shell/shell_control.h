#pragma once

#include "shortcuts/shortcut_binding.h"

#include <filesystem>
#include <optional>
#include <string>

namespace vidorel {

// The key combination in the portable text form of Qt's key sequences
// ("Shift+Ctrl+Return"): ⌘ is Ctrl, ⌥ Alt, ⌃ Meta (Super). Empty when the
// key has no name there.
std::string portableKeyText(const ShortcutBinding& binding);

// Where the running instance listens: $XDG_RUNTIME_DIR/vidorel/control
// (a private folder under /tmp named for the user when there is no runtime
// folder).
std::filesystem::path controlSocketPath();

// One line sent to the running instance: a verb and, after the first
// space, its argument ("window? review").
struct ControlCommand {
  std::string verb;
  std::string argument;
};

ControlCommand parseControlCommand(const std::string& line);

// The verbs every start may send; the rest drive the app in tests and are
// answered only when VIDOREL_TEST_CONTROL is set.
inline constexpr const char* kShowMenuCommand = "show-menu";
bool isPublicControlVerb(const std::string& verb);

} // namespace vidorel
