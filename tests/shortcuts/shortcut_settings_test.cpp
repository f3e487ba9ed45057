// The shortcut recorder and the settings rows: their rules, on X11 and
// where the desktop owns the global keys (Wayland), and how its keyboard
// settings should name this program.

#include "fakes/fake_defaults_store.h"
#include "shell/shell_control.h"
#include "shortcuts/desktop_shortcuts.h"
#include "shortcuts/key_positions.h"
#include "shortcuts/shortcut_recorder.h"
#include "shortcuts/shortcut_settings.h"

#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace vidorel {
namespace {

const ModifierSet kCommandShift{ModifierKey::command, ModifierKey::shift};

// A click listens; lone modifiers keep listening, Escape (or a binding
// published meanwhile) leaves the binding; keys the hot keys cannot take,
// and combinations the row refuses, keep it listening until one is taken.
TEST(ShortcutRecorderTest, ListensUntilAKeyIsAcceptedOrEscapeIsPressed) {
  ShortcutRecorder recorder;
  recorder.setBinding(defaultBinding(ShortcutAction::startPause));
  std::vector<std::string> events;
  std::vector<ShortcutBinding> offered;
  std::optional<ShortcutAction> refuseWith;
  int unusable = 0;
  recorder.onRecordingStarted = [&] { events.push_back("started"); };
  recorder.onRecordingStopped = [&] { events.push_back("stopped"); };
  recorder.onUnusableKey = [&] { ++unusable; };
  recorder.accept = [&](const ShortcutBinding& candidate) {
    offered.push_back(candidate);
    return refuseWith;
  };
  EXPECT_EQ(recorder.text(usKeyboardLayout()), "Ctrl+Shift+Space");
  EXPECT_FALSE(recorder.keyPress(kVK_ANSI_K, kCommandShift, "k"));
  EXPECT_FALSE(recorder.unknownKeyPress());
  recorder.click();
  recorder.click();
  EXPECT_EQ(recorder.text(usKeyboardLayout()), "Press shortcut…");
  for (std::uint32_t code = 54; code <= 63; ++code)
    EXPECT_TRUE(recorder.keyPress(code, kCommandShift, ""));
  recorder.setBinding(std::nullopt);
  EXPECT_TRUE(recorder.keyPress(kVK_Escape, {}, "\x1b"));
  EXPECT_FALSE(recorder.isRecording());
  EXPECT_EQ(recorder.binding(), defaultBinding(ShortcutAction::startPause));
  EXPECT_TRUE(offered.empty());
  EXPECT_EQ(unusable, 0);

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
  EXPECT_EQ(recorder.text(usKeyboardLayout()), "Ctrl+Shift+Print");
  EXPECT_EQ(events, (std::vector<std::string>{"started", "stopped", "started", "stopped"}));
}

// Registration results, the desktop's word and the hot keys, set by the
// test. (Saving, Restore Defaults and the hot keys' suspension while a row
// listens are driven through the settings window by the windows wiring
// test.)
class FakeServices final : public HotKeyRegistrations, public DesktopShortcuts {
public:
  std::map<ShortcutAction, int> errors;
  DesktopShortcutsStatus status;
  std::optional<int> registrationError(ShortcutAction action) const override {
    auto found = errors.find(action);
    return found == errors.end() ? std::nullopt : std::optional<int>(found->second);
  }
  DesktopShortcutsStatus desktopStatus() const override { return status; }
  ObserverID addStatusObserver(std::function<void()>) override { return 1; }
  void removeStatusObserver(ObserverID) override {}
};

class NoHotKeys final : public GlobalShortcuts {
  void setHandler(ShortcutAction, std::function<void()>) override {}
  void registerBindings(const ShortcutBindings&) override {}
  void unregisterAll() override {}
};

// The recorder's warning first, then the registration's; the X server's
// refusal says nothing about keys the desktop owns.
TEST(ShortcutSettingsTest, RefusedKeysAndRegistrationsWarnUnderTheProgramsRows) {
  FakeDefaultsStore store;
  Preferences preferences(store);
  NoHotKeys hotKeys;
  FakeServices services;
  ShortcutSettings settings(ShortcutSettingsServices{
      preferences, hotKeys, [&] { return preferences.shortcutBindings(); }, [] {},
      [] { return true; }, [](bool) {}, &services, &services, "vidorel"});
  settings.refuseKey(ShortcutAction::save);
  EXPECT_EQ(settings.warning(ShortcutAction::save), kUnusableKeyWarning);
  // A free combination afterwards clears it.
  settings.conflict(ShortcutAction::save, defaultBinding(ShortcutAction::save));
  EXPECT_EQ(settings.warning(ShortcutAction::save), "");

  services.errors[ShortcutAction::nextScene] = kHotKeyHeldElsewhereStatus;
  services.errors[ShortcutAction::retake] = -50;
  services.errors[ShortcutAction::save] = kHotKeyHeldElsewhereStatus;
  EXPECT_EQ(settings.warning(ShortcutAction::retake), kNotRegisteredWarning);
  EXPECT_EQ(settings.warning(ShortcutAction::startPause), "");
  settings.conflict(ShortcutAction::nextScene,
                    bindingFromKeyPress(kVK_ANSI_K, {ModifierKey::command}, "k"));
  EXPECT_EQ(settings.warning(ShortcutAction::nextScene),
            "May conflict with other apps during presentation\n"
            "Not working: another program uses it");

  services.status.state = DesktopShortcutsState::waiting;
  EXPECT_EQ(settings.warning(ShortcutAction::nextScene), "");
  EXPECT_EQ(settings.warning(ShortcutAction::save), kHeldElsewhereWarning);
}

namespace fs = std::filesystem;
using namespace std::string_literals;

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
      {S::refused, A::endTake, false, nullptr, "vidorel ctl end-take", kShortcutsRefusedNotice},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(rawValue(c.action)) + " " + c.note);
    DesktopShortcutsStatus status{c.state, triggers};
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
  EXPECT_EQ(shortcutRowContent(A::retake, {S::absent, {}}, "'/opt/my apps/vidorel'").note,
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

// How the desktop's settings should start this program: the plain name
// only when PATH finds this program first, as a command would start it;
// else the full path, quoted when it must be.
TEST(CtlProgramNameTest, ThePlainNameWhenPathFindsThisProgramElseTheFullPath) {
  fs::path root = vidorel::testing::makeTemporaryFolder("path");
  auto program = [](const fs::path& path, bool runnable = true) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "#!/bin/sh\n";
    fs::permissions(path, runnable ? fs::perms::owner_all : fs::perms::owner_read);
  };
  fs::path executable = root / "build" / "vidorel";
  program(executable);
  fs::create_directories(root / "bin");
  fs::create_symlink(executable, root / "bin" / "vidorel");
  program(root / "old" / "vidorel");
  // A file that cannot be run is not what a command starts.
  program(root / "text" / "vidorel", false);
  const std::string bin = (root / "bin").string();
  for (auto [path, name] : {std::pair{"/nonexistent:" + bin + ":/usr/bin", "vidorel"s},
                            std::pair{(root / "text").string() + ":" + bin, "vidorel"s},
                            std::pair{"/nonexistent:/usr/bin"s, executable.string()},
                            std::pair{(root / "old").string() + ":" + bin, executable.string()}})
    EXPECT_EQ(ctlProgramName(executable, path), name) << path;
  // A relative entry depends on where the desktop starts the command.
  fs::path here = fs::current_path();
  fs::current_path(root / "build");
  EXPECT_EQ(ctlProgramName(executable, ".::"), executable.string());
  fs::current_path(here);
  fs::path spaced = root / "my apps" / "it's" / "vidorel";
  program(spaced);
  EXPECT_EQ(ctlProgramName(spaced, "/usr/bin"),
            "'" + (root / "my apps").string() + "/it'\\''s/vidorel'");
  fs::remove_all(root);
}

} // namespace
} // namespace vidorel
