#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace vidorel {

struct ShortcutBinding;

// Every command the user can bind to a key combination. The declaration
// order is the order of allShortcutActions(): it drives the settings list,
// the building of the effective bindings and the duplicate check.
enum class ShortcutAction {
  startPause,
  endTake,
  nextScene,
  retake,
  newSession,
  openSession,
  save,
  saveAs,
  export_, // raw value "export"; the trailing underscore only dodges the keyword
};

inline constexpr std::array<ShortcutAction, 9> allShortcutActions = {
    ShortcutAction::startPause, ShortcutAction::endTake,    ShortcutAction::nextScene,
    ShortcutAction::retake,     ShortcutAction::newSession, ShortcutAction::openSession,
    ShortcutAction::save,       ShortcutAction::saveAs,     ShortcutAction::export_,
};

// The four actions registered as system-wide hot keys; the other five are
// only menu key equivalents.
inline constexpr std::array<ShortcutAction, 4> globalShortcutActions = {
    ShortcutAction::startPause, ShortcutAction::endTake, ShortcutAction::retake,
    ShortcutAction::nextScene};

// The case name: "startPause", ..., "saveAs", "export".
std::string_view rawValue(ShortcutAction action);

// The action whose raw value is exactly `raw` (letter case included).
std::optional<ShortcutAction> shortcutActionFromRawValue(std::string_view raw);

// Label of the action's settings row and the name quoted in the duplicate
// warning ("Pause / Resume", "Start / End Take / Approve", ...).
std::string_view title(ShortcutAction action);

// The factory binding; a pure function of the action.
ShortcutBinding defaultBinding(ShortcutAction action);

} // namespace vidorel
