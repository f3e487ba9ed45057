#pragma once

#include "shortcuts/shortcut_action.h"
#include "shortcuts/shortcut_binding.h"

#include <map>
#include <optional>
#include <string>

namespace vidorel {

inline constexpr const char* kMayConflictWarning =
    "May conflict with other apps during presentation";

struct ConflictCheck {
  // The action that already uses the candidate's combination; the candidate
  // is then refused.
  std::optional<ShortcutAction> conflictingAction;
  // What the settings row shows; empty clears the warning.
  std::string warning;
};

// Checks the candidate recorded for `row` against the effective bindings of
// every other action (an action missing from `bindings` counts with its
// factory binding). Only the Carbon key code and mask are compared. A
// candidate without both Command and Shift is accepted with a warning that
// other programs may take it.
ConflictCheck conflictingAction(ShortcutAction row, const ShortcutBinding& candidate,
                                const std::map<ShortcutAction, ShortcutBinding>& bindings);

} // namespace vidorel
