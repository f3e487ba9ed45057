#include "shortcuts/key_positions.h"
#include "shortcuts/shortcut_recorder.h"
#include "shortcuts/shortcut_settings.h"

#include "fakes/fake_defaults_store.h"
#include "fakes/recording_global_shortcuts.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {
using testing::RecordingGlobalShortcuts;

const ModifierSet kCommandShift{ModifierKey::command, ModifierKey::shift};

TEST(KeyPositions, X11PositionsRoundTripAndModifiersFollowTheMapping) {
  // Letters on the home row, Return, Space, Escape and the arrows.
  EXPECT_EQ(carbonPositionFromX11(38), kVK_ANSI_A);
  EXPECT_EQ(carbonPositionFromX11(57), kVK_ANSI_N);
  EXPECT_EQ(carbonPositionFromX11(45), kVK_ANSI_K);
  EXPECT_EQ(carbonPositionFromX11(36), kVK_Return);
  EXPECT_EQ(carbonPositionFromX11(65), kVK_Space);
  EXPECT_EQ(carbonPositionFromX11(9), kVK_Escape);
  EXPECT_EQ(carbonPositionFromX11(113), kVK_LeftArrow);
  EXPECT_EQ(carbonPositionFromX11(111), kVK_UpArrow);
  // Ctrl is Command, Super is Control: both are modifiers only.
  EXPECT_EQ(carbonPositionFromX11(37), 0x37u);
  EXPECT_EQ(carbonPositionFromX11(133), 0x3Bu);
  EXPECT_FALSE(carbonPositionFromX11(0));
  EXPECT_FALSE(carbonPositionFromX11(255));

  for (std::uint32_t x11 = 0; x11 < 256; ++x11)
    if (auto carbon = carbonPositionFromX11(x11)) {
      EXPECT_EQ(x11PositionFromCarbon(*carbon), x11) << x11;
    }

  for (std::uint32_t x11 : {37u, 105u, 50u, 62u, 64u, 108u, 133u, 134u, 66u})
    EXPECT_TRUE(isModifierKeyCode(*carbonPositionFromX11(x11))) << x11;
  EXPECT_FALSE(isModifierKeyCode(kVK_ANSI_K));
  EXPECT_FALSE(isModifierKeyCode(kVK_Escape));
}

TEST(KeyPositions, UsLayoutNamesTheFactoryBindings) {
  const KeyboardLayout& us = usKeyboardLayout();
  std::vector<std::string> shown;
  for (ShortcutAction action : allShortcutActions)
    shown.push_back(defaultBinding(action).displayString(us));
  EXPECT_EQ(shown, (std::vector<std::string>{"⇧⌘Space", "⇧⌘↩", "⇧⌘N", "⇧⌘R", "⌥⇧⌘N", "⇧⌘O", "⇧⌘S",
                                             "⌥⇧⌘S", "⇧⌘E"}));
  EXPECT_EQ(keyName(kVK_ANSI_A, us), "A");
  EXPECT_EQ(keyName(0x7A, us), "?"); // F1 types nothing
}

class ShortcutRecorderTest : public ::testing::Test {
protected:
  ShortcutRecorderTest() {
    recorder.setBinding(defaultBinding(ShortcutAction::startPause));
    recorder.onRecordingStarted = [this] { events.push_back("started"); };
    recorder.onRecordingStopped = [this] { events.push_back("stopped"); };
    recorder.accept = [this](const ShortcutBinding& candidate) {
      offered.push_back(candidate);
      return refuseWith;
    };
  }
  ShortcutRecorder recorder;
  std::vector<std::string> events;
  std::vector<ShortcutBinding> offered;
  std::optional<ShortcutAction> refuseWith;
};

TEST_F(ShortcutRecorderTest, ClickListensAndEscapeLeavesTheBinding) {
  EXPECT_EQ(recorder.text(usKeyboardLayout()), "⇧⌘Space");
  EXPECT_FALSE(recorder.keyPress(kVK_ANSI_K, kCommandShift, "k"));
  recorder.click();
  recorder.click();
  EXPECT_TRUE(recorder.isRecording());
  EXPECT_EQ(recorder.text(usKeyboardLayout()), "Press shortcut…");
  EXPECT_TRUE(recorder.keyPress(kVK_Escape, {}, "\x1b"));
  EXPECT_FALSE(recorder.isRecording());
  EXPECT_EQ(recorder.binding(), defaultBinding(ShortcutAction::startPause));
  EXPECT_TRUE(offered.empty());
  EXPECT_EQ(events, (std::vector<std::string>{"started", "stopped"}));
}

TEST_F(ShortcutRecorderTest, ModifiersAloneKeepListening) {
  recorder.click();
  for (std::uint32_t code = 54; code <= 63; ++code)
    EXPECT_TRUE(recorder.keyPress(code, kCommandShift, ""));
  EXPECT_TRUE(recorder.isRecording());
  EXPECT_EQ(recorder.text(usKeyboardLayout()), "Press shortcut…");
  EXPECT_TRUE(offered.empty());
}

TEST_F(ShortcutRecorderTest, RefusedCombinationKeepsListeningUntilOneIsAccepted) {
  recorder.click();
  refuseWith = ShortcutAction::retake;
  EXPECT_TRUE(recorder.keyPress(kVK_ANSI_R, kCommandShift, "r"));
  EXPECT_TRUE(recorder.isRecording());
  refuseWith.reset();
  EXPECT_TRUE(recorder.keyPress(kVK_ANSI_K, kCommandShift, "K"));
  EXPECT_FALSE(recorder.isRecording());
  ASSERT_EQ(offered.size(), 2u);
  EXPECT_EQ(offered[1].keyEquivalent, "k");
  EXPECT_EQ(recorder.text(usKeyboardLayout()), "⇧⌘K");
  EXPECT_EQ(events, (std::vector<std::string>{"started", "stopped"}));
}

TEST_F(ShortcutRecorderTest, BindingPublishedWhileListeningIsNotShownAfterwards) {
  ShortcutRecorder bare;
  EXPECT_EQ(bare.text(usKeyboardLayout()), "None");
  recorder.click();
  recorder.setBinding(std::nullopt);
  recorder.keyPress(kVK_Escape, {}, "");
  EXPECT_EQ(recorder.binding(), defaultBinding(ShortcutAction::startPause));
}

class ShortcutSettingsTest : public ::testing::Test {
protected:
  ShortcutSettingsTest()
      : preferences(store),
        settings(ShortcutSettingsServices{preferences, hotKeys, [this] { return effective; },
                                          [this] {
                                            ++reloads;
                                            effective = preferences.shortcutBindings();
                                          },
                                          [this] { return autoCheck; },
                                          [this](bool on) { autoCheck = on; }}) {
    effective = preferences.shortcutBindings();
  }

  FakeDefaultsStore store;
  Preferences preferences;
  RecordingGlobalShortcuts hotKeys;
  ShortcutBindings effective;
  int reloads = 0;
  bool autoCheck = true;
  ShortcutSettings settings;
};

TEST_F(ShortcutSettingsTest, DuplicateIsRefusedWithTheOtherActionsTitle) {
  ShortcutBinding retake = defaultBinding(ShortcutAction::retake);
  EXPECT_EQ(settings.conflict(ShortcutAction::nextScene, retake), ShortcutAction::retake);
  EXPECT_EQ(settings.warning(ShortcutAction::nextScene), "Already used by Retake");
  EXPECT_EQ(settings.warning(ShortcutAction::retake), "");

  ShortcutBinding own = defaultBinding(ShortcutAction::nextScene);
  EXPECT_EQ(settings.conflict(ShortcutAction::nextScene, own), std::nullopt);
  EXPECT_EQ(settings.warning(ShortcutAction::nextScene), "");
}

TEST_F(ShortcutSettingsTest, SavingStoresTheBindingAndReloads) {
  ShortcutBinding commandK = bindingFromKeyPress(kVK_ANSI_K, {ModifierKey::command}, "k");
  EXPECT_EQ(settings.conflict(ShortcutAction::export_, commandK), std::nullopt);
  EXPECT_EQ(settings.warning(ShortcutAction::export_),
            "May conflict with other apps during presentation");
  settings.save(ShortcutAction::export_, commandK);
  EXPECT_EQ(reloads, 1);
  EXPECT_EQ(preferences.customShortcuts().at("export"), commandK);
  EXPECT_EQ(settings.effectiveBinding(ShortcutAction::export_), commandK);
}

TEST_F(ShortcutSettingsTest, HotKeysAreSuspendedWhileRecordingAndOnlyGlobalOnesComeBack) {
  settings.recordingStarted();
  EXPECT_EQ(hotKeys.unregisterCount, 1);
  EXPECT_FALSE(hotKeys.press(defaultBinding(ShortcutAction::retake)));
  settings.recordingStopped();
  EXPECT_EQ(hotKeys.registerCount, 1);
  EXPECT_EQ(hotKeys.registered.size(), 4u);
  for (ShortcutAction action : {ShortcutAction::startPause, ShortcutAction::endTake,
                                ShortcutAction::retake, ShortcutAction::nextScene})
    EXPECT_EQ(hotKeys.registered.at(action), defaultBinding(action));
  EXPECT_FALSE(hotKeys.registered.contains(ShortcutAction::save));
}

TEST_F(ShortcutSettingsTest, RestoreDefaultsForgetsCustomBindingsButNotWarnings) {
  ShortcutBinding commandK = bindingFromKeyPress(kVK_ANSI_K, {ModifierKey::command}, "k");
  settings.conflict(ShortcutAction::startPause, commandK);
  settings.save(ShortcutAction::startPause, commandK);
  settings.restoreDefaults();
  EXPECT_FALSE(store.values.contains("customShortcuts"));
  EXPECT_EQ(settings.effectiveBinding(ShortcutAction::startPause).displayString(usKeyboardLayout()),
            "⇧⌘Space");
  EXPECT_EQ(settings.warning(ShortcutAction::startPause),
            "May conflict with other apps during presentation");
}

TEST_F(ShortcutSettingsTest, UpdateSwitchGoesToTheCoordinator) {
  EXPECT_TRUE(settings.automaticallyChecksForUpdates());
  settings.setAutomaticallyChecksForUpdates(false);
  EXPECT_FALSE(autoCheck);
  EXPECT_FALSE(settings.automaticallyChecksForUpdates());
}

} // namespace
} // namespace vidorel
