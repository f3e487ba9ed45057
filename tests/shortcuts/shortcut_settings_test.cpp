// The shortcut recorder and the settings rows: their rules, on X11 and
// where the desktop owns the global keys (Wayland), and how its keyboard
// settings should name this program.

#include "fakes/fake_defaults_store.h"
#include "fakes/fake_desktop_shortcuts.h"
#include "fakes/recording_global_shortcuts.h"
#include "shell/shell_control.h"
#include "shortcuts/desktop_shortcuts.h"
#include "shortcuts/key_positions.h"
#include "shortcuts/shortcut_recorder.h"
#include "shortcuts/shortcut_settings.h"
#include "workflow/app_state_manager.h"

#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

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

// Escape leaves the binding, as does a binding published while listening;
// lone modifiers keep listening.
TEST_F(ShortcutRecorderTest, ClickListensAndEscapeLeavesTheBinding) {
  EXPECT_EQ(recorder.text(usKeyboardLayout()), "Ctrl+Shift+Space");
  EXPECT_FALSE(recorder.keyPress(kVK_ANSI_K, kCommandShift, "k"));
  recorder.click();
  recorder.click();
  EXPECT_TRUE(recorder.isRecording());
  EXPECT_EQ(recorder.text(usKeyboardLayout()), "Press shortcut…");
  for (std::uint32_t code = 54; code <= 63; ++code)
    EXPECT_TRUE(recorder.keyPress(code, kCommandShift, ""));
  EXPECT_TRUE(recorder.isRecording());
  recorder.setBinding(std::nullopt);
  EXPECT_TRUE(recorder.keyPress(kVK_Escape, {}, "\x1b"));
  EXPECT_FALSE(recorder.isRecording());
  EXPECT_EQ(recorder.binding(), defaultBinding(ShortcutAction::startPause));
  EXPECT_TRUE(offered.empty());
  EXPECT_EQ(events, (std::vector<std::string>{"started", "stopped"}));
}

// Keys the hot keys cannot take, and combinations the row refuses, keep it
// listening until one is accepted.
TEST_F(ShortcutRecorderTest, RefusedKeysAndCombinationsKeepListening) {
  int unusable = 0;
  recorder.onUnusableKey = [&] { ++unusable; };
  EXPECT_FALSE(recorder.unknownKeyPress());
  recorder.click();
  // Num Lock, a code without a key, a key the table has no position for.
  EXPECT_TRUE(recorder.keyPress(0x47, kCommandShift, ""));
  EXPECT_TRUE(recorder.keyPress(52, kCommandShift, ""));
  EXPECT_TRUE(recorder.unknownKeyPress());
  EXPECT_EQ(unusable, 3);
  refuseWith = ShortcutAction::retake;
  EXPECT_TRUE(recorder.keyPress(kVK_ANSI_R, kCommandShift, "r"));
  EXPECT_TRUE(recorder.isRecording());
  refuseWith.reset();
  // Print, which the hot keys grab at its own position, is taken.
  EXPECT_TRUE(recorder.keyPress(105, kCommandShift, ""));
  EXPECT_FALSE(recorder.isRecording());
  ASSERT_EQ(offered.size(), 2u);
  EXPECT_EQ(offered[1].keyEquivalent, "?");
  EXPECT_EQ(recorder.text(usKeyboardLayout()), "Ctrl+Shift+Print");
  EXPECT_EQ(unusable, 3);
  EXPECT_EQ(events, (std::vector<std::string>{"started", "stopped"}));
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
                                          [this](bool on) { autoCheck = on; }, &registrations,
                                          &desktop, "vidorel"}) {
    effective = preferences.shortcutBindings();
  }

  FakeRegistrations registrations;
  testing::FakeDesktopShortcuts desktop;
  FakeDefaultsStore store;
  Preferences preferences;
  RecordingGlobalShortcuts hotKeys;
  ShortcutBindings effective;
  int reloads = 0;
  bool autoCheck = true;
  ShortcutSettings settings;
};

// Restoring the defaults forgets the custom bindings but not the warnings.
TEST_F(ShortcutSettingsTest, SavingStoresTheBindingAndReloadsAndRestoreDefaultsForgetsIt) {
  ShortcutBinding commandK = bindingFromKeyPress(kVK_ANSI_K, {ModifierKey::command}, "k");
  EXPECT_EQ(settings.conflict(ShortcutAction::export_, commandK), std::nullopt);
  EXPECT_EQ(settings.warning(ShortcutAction::export_),
            "May conflict with other apps during presentation");
  settings.save(ShortcutAction::export_, commandK);
  EXPECT_EQ(reloads, 1);
  EXPECT_EQ(preferences.customShortcuts().at("export"), commandK);
  EXPECT_EQ(settings.effectiveBinding(ShortcutAction::export_), commandK);
  settings.restoreDefaults();
  EXPECT_FALSE(store.values.contains("customShortcuts"));
  EXPECT_EQ(settings.effectiveBinding(ShortcutAction::export_),
            defaultBinding(ShortcutAction::export_));
  EXPECT_EQ(settings.warning(ShortcutAction::export_),
            "May conflict with other apps during presentation");
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

namespace fs = std::filesystem;

DesktopShortcutsStatus statusOf(DesktopShortcutsState state,
                                std::map<ShortcutAction, std::string> triggers = {}) {
  DesktopShortcutsStatus status;
  status.state = state;
  status.triggers = std::move(triggers);
  return status;
}

// Each state of the desktop's shortcuts: what the row of a global action
// (the program's own keys stay recordable everywhere) and the notice above
// the rows show.
TEST(ShortcutRowContent, RowsFollowTheDesktopsState) {
  using S = DesktopShortcutsState;
  using A = ShortcutAction;
  struct Case {
    DesktopShortcutsState state;
    ShortcutAction action;
    bool recordable;
    const char* fieldText; // nullptr: the recorder shows the binding
    const char* note;
    std::string notice;
  };
  const std::map<ShortcutAction, std::string> triggers{{A::endTake, "Ctrl+Shift+Return"}};
  const Case cases[] = {
      {S::notUsed, A::endTake, true, nullptr, "", ""},
      {S::bound, A::endTake, false, "Ctrl+Shift+Return",
       "Changed in the desktop's keyboard settings", ""},
      {S::bound, A::retake, false, "None", "Assign it in the desktop's keyboard settings", ""},
      {S::waiting, A::startPause, false, "Asking the desktop…", "The desktop assigns it", ""},
      {S::absent, A::startPause, false, "In desktop settings", "vidorel ctl start-pause",
       kNoShortcutsPortalNotice},
      {S::absent, A::nextScene, false, "In desktop settings", "vidorel ctl next-scene",
       kNoShortcutsPortalNotice},
      {S::refused, A::endTake, false, nullptr, "vidorel ctl end-take", kShortcutsRefusedNotice},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(rawValue(c.action)) + " " + c.note);
    DesktopShortcutsStatus status = statusOf(c.state, triggers);
    ShortcutRowContent row = shortcutRowContent(c.action, status, "vidorel");
    EXPECT_EQ(row.recordable, c.recordable);
    if (c.fieldText) {
      EXPECT_EQ(row.fieldText, c.fieldText);
    }
    EXPECT_EQ(row.note, c.note);
    EXPECT_EQ(desktopShortcutsNotice(status), c.notice);
    for (ShortcutAction own : {A::newSession, A::openSession, A::save, A::saveAs, A::export_}) {
      ShortcutRowContent ownRow = shortcutRowContent(own, status, "vidorel");
      EXPECT_TRUE(ownRow.recordable && ownRow.note.empty()) << rawValue(own);
    }
  }
  EXPECT_EQ(shortcutRowContent(A::retake, statusOf(S::absent), "'/opt/my apps/vidorel'").note,
            "'/opt/my apps/vidorel' ctl retake");
}

TEST(ShortcutRowContent, TheCommandsAreTheOnesVidorelCtlTakes) {
  for (ShortcutAction action : globalShortcutActions) {
    std::optional<CtlAction> ctl = parseCtlAction(ctlWord(action));
    ASSERT_TRUE(ctl.has_value()) << rawValue(action);
    EXPECT_EQ(hotKeyAction(*ctl), action);
  }
  EXPECT_EQ(ctlWord(ShortcutAction::save), "");
}

// How the desktop's settings should start this program: a folder of fake
// programs for PATH.
class CtlProgramNameTest : public ::testing::Test {
protected:
  void SetUp() override {
    root = vidorel::testing::makeTemporaryFolder("path");
    executable = root / "build" / "vidorel";
    program(executable);
  }
  void TearDown() override { fs::remove_all(root); }

  static void program(const fs::path& path, bool runnable = true) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "#!/bin/sh\n";
    fs::permissions(path, runnable ? fs::perms::owner_all : fs::perms::owner_read);
  }

  fs::path root;
  fs::path executable;
};

// The plain name only when PATH finds this program first, as a command
// would start it; else the full path, quoted when it must be.
TEST_F(CtlProgramNameTest, ThePlainNameWhenPathFindsThisProgramElseTheFullPath) {
  fs::create_directories(root / "bin");
  fs::create_symlink(executable, root / "bin" / "vidorel");
  program(root / "old" / "vidorel");
  // A file that cannot be run is not what a command starts.
  program(root / "text" / "vidorel", false);
  const std::string bin = (root / "bin").string();
  struct Case {
    std::string path;
    std::string name;
  };
  for (const Case& c :
       {Case{"/nonexistent:" + bin + ":/usr/bin", "vidorel"},
        Case{(root / "text").string() + ":" + bin, "vidorel"},
        Case{"/nonexistent:/usr/bin", executable.string()}, Case{"", executable.string()},
        Case{(root / "old").string() + ":" + bin, executable.string()}})
    EXPECT_EQ(ctlProgramName(executable, c.path), c.name) << c.path;
  // A relative entry depends on where the desktop starts the command.
  fs::path here = fs::current_path();
  fs::current_path(root / "build");
  EXPECT_EQ(ctlProgramName(executable, ".::"), executable.string());
  fs::current_path(here);
  // A path with spaces or quotes is quoted for the command line.
  fs::path spaced = root / "my apps" / "it's" / "vidorel";
  program(spaced);
  EXPECT_EQ(ctlProgramName(spaced, "/usr/bin"),
            "'" + (root / "my apps").string() + "/it'\\''s/vidorel'");
}

TEST_F(ShortcutSettingsTest, RowsFollowTheDesktopAndOnlyTheProgramsRowsWarn) {
  for (ShortcutAction action : allShortcutActions)
    registrations.errors[action] = kHotKeyHeldElsewhereStatus;
  desktop.status = statusOf(DesktopShortcutsState::waiting);
  EXPECT_EQ(settings.rowContent(ShortcutAction::endTake).fieldText, "Asking the desktop…");
  // The X server's refusal says nothing about keys the desktop owns.
  EXPECT_EQ(settings.warning(ShortcutAction::endTake), "");
  EXPECT_EQ(settings.warning(ShortcutAction::save), kHeldElsewhereWarning);
  EXPECT_EQ(settings.notice(), "");
  desktop.status = statusOf(DesktopShortcutsState::absent);
  EXPECT_EQ(settings.rowContent(ShortcutAction::endTake).note, "vidorel ctl end-take");
  EXPECT_EQ(settings.notice(), kNoShortcutsPortalNotice);
  EXPECT_TRUE(settings.rowContent(ShortcutAction::export_).recordable);
}

} // namespace
} // namespace vidorel
