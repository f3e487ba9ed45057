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
  EXPECT_EQ(recorder.text(usKeyboardLayout()), "Ctrl+Shift+Space");
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

TEST_F(ShortcutRecorderTest, KeysTheHotKeysCannotTakeAreRefusedAndListeningGoesOn) {
  int unusable = 0;
  recorder.onUnusableKey = [&] { ++unusable; };
  EXPECT_FALSE(recorder.unknownKeyPress());
  recorder.click();
  // Num Lock, a code without a key, and a key the table has no position
  // for.
  EXPECT_TRUE(recorder.keyPress(0x47, kCommandShift, ""));
  EXPECT_TRUE(recorder.keyPress(52, kCommandShift, ""));
  EXPECT_TRUE(recorder.unknownKeyPress());
  EXPECT_EQ(unusable, 3);
  EXPECT_TRUE(recorder.isRecording());
  EXPECT_TRUE(offered.empty());
  // Print, which the hot keys grab at its own position, is offered.
  EXPECT_TRUE(recorder.keyPress(105, kCommandShift, ""));
  EXPECT_FALSE(recorder.isRecording());
  ASSERT_EQ(offered.size(), 1u);
  EXPECT_EQ(offered[0].keyEquivalent, "?");
  EXPECT_EQ(recorder.text(usKeyboardLayout()), "Ctrl+Shift+Print");
  EXPECT_EQ(unusable, 3);
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
  EXPECT_EQ(recorder.text(usKeyboardLayout()), "Ctrl+Shift+K");
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

// Registration results as a table.
class FakeRegistrations final : public HotKeyRegistrations {
public:
  std::map<ShortcutAction, int> errors;
  std::optional<int> registrationError(ShortcutAction action) const override {
    auto found = errors.find(action);
    if (found == errors.end())
      return std::nullopt;
    return found->second;
  }
};

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
                                          [this](bool on) { autoCheck = on; }, &registrations}) {
    effective = preferences.shortcutBindings();
  }

  FakeRegistrations registrations;
  FakeDefaultsStore store;
  Preferences preferences;
  RecordingGlobalShortcuts hotKeys;
  ShortcutBindings effective;
  int reloads = 0;
  bool autoCheck = true;
  ShortcutSettings settings;
};

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
            "Ctrl+Shift+Space");
  EXPECT_EQ(settings.warning(ShortcutAction::startPause),
            "May conflict with other apps during presentation");
}

TEST_F(ShortcutSettingsTest, RefusedKeysAndRefusedRegistrationsWarnUnderTheirRows) {
  settings.refuseKey(ShortcutAction::save);
  EXPECT_EQ(settings.warning(ShortcutAction::save), "This key cannot be part of a shortcut");
  // A free combination afterwards clears it.
  settings.conflict(ShortcutAction::save, defaultBinding(ShortcutAction::save));
  EXPECT_EQ(settings.warning(ShortcutAction::save), "");

  registrations.errors[ShortcutAction::nextScene] = kHotKeyHeldElsewhereStatus;
  registrations.errors[ShortcutAction::retake] = -50;
  EXPECT_EQ(settings.warning(ShortcutAction::nextScene), "Not working: another program uses it");
  EXPECT_EQ(settings.warning(ShortcutAction::retake), "Not working: the system refused it");
  EXPECT_EQ(settings.warning(ShortcutAction::startPause), "");
  // Both at once: the recorder's warning, then the registration's.
  settings.conflict(ShortcutAction::nextScene,
                    bindingFromKeyPress(kVK_ANSI_K, {ModifierKey::command}, "k"));
  EXPECT_EQ(settings.warning(ShortcutAction::nextScene),
            "May conflict with other apps during presentation\n"
            "Not working: another program uses it");
  registrations.errors.clear();
  EXPECT_EQ(settings.warning(ShortcutAction::nextScene),
            "May conflict with other apps during presentation");
}

} // namespace
} // namespace vidorel
