#include "shortcuts/shortcut_conflicts.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {

using Bindings = std::map<ShortcutAction, ShortcutBinding>;

Bindings factoryBindings() {
  Bindings bindings;
  for (ShortcutAction action : allShortcutActions)
    bindings.emplace(action, defaultBinding(action));
  return bindings;
}

// Only key code and mask are compared; a missing entry counts with its
// factory binding; the first match in action order wins.
TEST(ConflictTest, TheActionThatHoldsACombinationAndTheRowsWarning) {
  const ShortcutBinding shared{40, 0x300, "k", 18};
  Bindings customised = factoryBindings();
  customised[ShortcutAction::save] = shared;
  customised[ShortcutAction::openSession] = shared;
  const std::string mayConflict = "May conflict with other apps during presentation";
  struct Case {
    ShortcutAction row;
    ShortcutBinding candidate;
    Bindings bindings;
    std::optional<ShortcutAction> holder;
    std::string warning;
  };
  const Case cases[] = {
      {ShortcutAction::nextScene, defaultBinding(ShortcutAction::retake), factoryBindings(),
       ShortcutAction::retake, "Already used by Retake"},
      {ShortcutAction::nextScene, ShortcutBinding{45, 0xB00, "n", 26}, factoryBindings(),
       ShortcutAction::newSession, "Already used by New Recording"},
      // The row's own binding is skipped.
      {ShortcutAction::nextScene, defaultBinding(ShortcutAction::nextScene), factoryBindings(),
       std::nullopt, ""},
      {ShortcutAction::save, ShortcutBinding{15, 0x300, "x", 0}, factoryBindings(),
       ShortcutAction::retake, "Already used by Retake"},
      {ShortcutAction::save, ShortcutBinding{15, 0xB00, "r", 26}, factoryBindings(), std::nullopt,
       ""},
      {ShortcutAction::startPause, defaultBinding(ShortcutAction::export_), Bindings{},
       ShortcutAction::export_, "Already used by Export Final Video"},
      // Save moved away, so its factory combination is free.
      {ShortcutAction::retake, defaultBinding(ShortcutAction::save), customised, std::nullopt, ""},
      {ShortcutAction::retake, shared, customised, ShortcutAction::openSession,
       "Already used by Open Recording"},
      // Without both Command and Shift: accepted with a warning.
      {ShortcutAction::retake, ShortcutBinding{40, cmdKey, "k", 16}, factoryBindings(),
       std::nullopt, mayConflict},
      {ShortcutAction::retake, ShortcutBinding{40, shiftKey, "k", 2}, factoryBindings(),
       std::nullopt, mayConflict},
      {ShortcutAction::retake, ShortcutBinding{40, 0, "k", 0}, factoryBindings(), std::nullopt,
       mayConflict},
      {ShortcutAction::retake, ShortcutBinding{40, controlKey | optionKey, "k", 12},
       factoryBindings(), std::nullopt, mayConflict},
      {ShortcutAction::retake, ShortcutBinding{40, cmdKey | shiftKey | controlKey, "k", 22},
       factoryBindings(), std::nullopt, ""},
  };
  for (const Case& c : cases) {
    ConflictCheck check = conflictingAction(c.row, c.candidate, c.bindings);
    SCOPED_TRACE(std::string(rawValue(c.row)) + " " + std::to_string(c.candidate.carbonKeyCode) +
                 "/" + std::to_string(c.candidate.carbonModifiers));
    EXPECT_EQ(check.conflictingAction, c.holder);
    EXPECT_EQ(check.warning, c.warning);
  }
}

} // namespace
} // namespace vidorel
