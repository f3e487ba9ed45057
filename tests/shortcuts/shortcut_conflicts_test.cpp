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

TEST(ConflictTest, AnotherActionsCombinationIsRefusedWithItsTitle) {
  ConflictCheck check = conflictingAction(
      ShortcutAction::nextScene, defaultBinding(ShortcutAction::retake), factoryBindings());
  EXPECT_EQ(check.conflictingAction, ShortcutAction::retake);
  EXPECT_EQ(check.warning, "Already used by Retake");

  // ⌥⇧⌘N is New Recording's: same key code 45 and mask 0xB00.
  check = conflictingAction(ShortcutAction::nextScene, ShortcutBinding{45, 0xB00, "n", 26},
                            factoryBindings());
  EXPECT_EQ(check.conflictingAction, ShortcutAction::newSession);
  EXPECT_EQ(check.warning, "Already used by New Recording");
}

TEST(ConflictTest, TheRowsOwnBindingIsSkipped) {
  ConflictCheck check = conflictingAction(
      ShortcutAction::nextScene, defaultBinding(ShortcutAction::nextScene), factoryBindings());
  EXPECT_EQ(check.conflictingAction, std::nullopt);
  EXPECT_EQ(check.warning, "");
}

TEST(ConflictTest, OnlyKeyCodeAndMaskAreCompared) {
  ShortcutBinding lookalike{15, 0x300, "x", 0};
  ConflictCheck check = conflictingAction(ShortcutAction::save, lookalike, factoryBindings());
  EXPECT_EQ(check.conflictingAction, ShortcutAction::retake);
  // Same key, other mask: no conflict.
  check = conflictingAction(ShortcutAction::save, ShortcutBinding{15, 0xB00, "r", 26},
                            factoryBindings());
  EXPECT_EQ(check.conflictingAction, std::nullopt);
  EXPECT_EQ(check.warning, "");
}

TEST(ConflictTest, CombinationsWithoutCommandAndShiftAreAcceptedWithAWarning) {
  for (ShortcutBinding candidate :
       {ShortcutBinding{40, cmdKey, "k", 16}, ShortcutBinding{40, shiftKey, "k", 2},
        ShortcutBinding{40, 0, "k", 0}, ShortcutBinding{40, controlKey | optionKey, "k", 12}}) {
    ConflictCheck check = conflictingAction(ShortcutAction::retake, candidate, factoryBindings());
    EXPECT_EQ(check.conflictingAction, std::nullopt);
    EXPECT_EQ(check.warning, "May conflict with other apps during presentation");
  }
  ConflictCheck check = conflictingAction(
      ShortcutAction::retake, ShortcutBinding{40, cmdKey | shiftKey | controlKey, "k", 22},
      factoryBindings());
  EXPECT_EQ(check.warning, "");
}

TEST(ConflictTest, MissingEntriesCountWithTheirFactoryBinding) {
  ConflictCheck check = conflictingAction(ShortcutAction::startPause,
                                          defaultBinding(ShortcutAction::export_), Bindings{});
  EXPECT_EQ(check.conflictingAction, ShortcutAction::export_);
  EXPECT_EQ(check.warning, "Already used by Export Final Video");
}

TEST(ConflictTest, CustomisedBindingsReplaceFactoryOnesAndTheFirstMatchWins) {
  Bindings bindings = factoryBindings();
  ShortcutBinding shared{40, 0x300, "k", 18};
  bindings[ShortcutAction::save] = shared;
  bindings[ShortcutAction::openSession] = shared;
  // The save binding moved away, so its factory combination is free.
  ConflictCheck freed =
      conflictingAction(ShortcutAction::retake, defaultBinding(ShortcutAction::save), bindings);
  EXPECT_EQ(freed.conflictingAction, std::nullopt);
  ConflictCheck taken = conflictingAction(ShortcutAction::retake, shared, bindings);
  EXPECT_EQ(taken.conflictingAction, ShortcutAction::openSession);
  EXPECT_EQ(taken.warning, "Already used by Open Recording");
}

} // namespace
} // namespace vidorel
