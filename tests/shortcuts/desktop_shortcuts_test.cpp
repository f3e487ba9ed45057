// The settings rows where the desktop owns the global keys (Wayland), and
// how its keyboard settings should name this program.

#include "shell/shell_control.h"
#include "shortcuts/desktop_shortcuts.h"
#include "shortcuts/shortcut_settings.h"
#include "workflow/app_state_manager.h"

#include "fakes/fake_defaults_store.h"
#include "fakes/fake_desktop_shortcuts.h"
#include "fakes/recording_global_shortcuts.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace vidorel {
namespace {

namespace fs = std::filesystem;

DesktopShortcutsStatus statusOf(DesktopShortcutsState state,
                                std::map<ShortcutAction, std::string> triggers = {}) {
  DesktopShortcutsStatus status;
  status.state = state;
  status.triggers = std::move(triggers);
  return status;
}

bool isGlobal(ShortcutAction action) {
  for (ShortcutAction global : globalShortcutActions)
    if (global == action)
      return true;
  return false;
}

TEST(ShortcutRowContent, TheProgramsOwnKeysAreRecordedEverywhereElse) {
  for (ShortcutAction action : allShortcutActions) {
    ShortcutRowContent x11 =
        shortcutRowContent(action, statusOf(DesktopShortcutsState::notUsed), "vidorel");
    EXPECT_TRUE(x11.recordable) << rawValue(action);
    EXPECT_EQ(x11.note, "");
    for (DesktopShortcutsState state :
         {DesktopShortcutsState::waiting, DesktopShortcutsState::bound,
          DesktopShortcutsState::refused, DesktopShortcutsState::absent}) {
      ShortcutRowContent row = shortcutRowContent(action, statusOf(state), "vidorel");
      EXPECT_EQ(row.recordable, !isGlobal(action)) << rawValue(action);
      EXPECT_EQ(row.note.empty(), !isGlobal(action)) << rawValue(action);
    }
  }
  EXPECT_EQ(desktopShortcutsNotice(statusOf(DesktopShortcutsState::notUsed)), "");
}

TEST(ShortcutRowContent, BoundRowsShowTheDesktopsTriggerReadOnly) {
  DesktopShortcutsStatus bound =
      statusOf(DesktopShortcutsState::bound, {{ShortcutAction::endTake, "Ctrl+Shift+Return"}});
  ShortcutRowContent endTake = shortcutRowContent(ShortcutAction::endTake, bound, "vidorel");
  EXPECT_FALSE(endTake.recordable);
  EXPECT_EQ(endTake.fieldText, "Ctrl+Shift+Return");
  EXPECT_EQ(endTake.note, "Changed in the desktop's keyboard settings");
  // The desktop gave Retake no trigger.
  ShortcutRowContent retake = shortcutRowContent(ShortcutAction::retake, bound, "vidorel");
  EXPECT_EQ(retake.fieldText, "None");
  EXPECT_EQ(retake.note, "Assign it in the desktop's keyboard settings");
  EXPECT_EQ(desktopShortcutsNotice(bound), "");

  DesktopShortcutsStatus waiting = statusOf(DesktopShortcutsState::waiting);
  ShortcutRowContent asked = shortcutRowContent(ShortcutAction::startPause, waiting, "vidorel");
  EXPECT_EQ(asked.fieldText, "Asking the desktop…");
  EXPECT_EQ(asked.note, "The desktop assigns it");
  EXPECT_EQ(desktopShortcutsNotice(waiting), "");
}

TEST(ShortcutRowContent, WithoutThePortalEachRowShowsTheCommandToBind) {
  DesktopShortcutsStatus absent = statusOf(DesktopShortcutsState::absent);
  std::map<ShortcutAction, std::string> notes;
  for (ShortcutAction action : globalShortcutActions) {
    ShortcutRowContent row = shortcutRowContent(action, absent, "vidorel");
    EXPECT_FALSE(row.recordable);
    EXPECT_EQ(row.fieldText, "In desktop settings");
    notes[action] = row.note;
  }
  EXPECT_EQ(notes[ShortcutAction::startPause], "vidorel ctl start-pause");
  EXPECT_EQ(notes[ShortcutAction::endTake], "vidorel ctl end-take");
  EXPECT_EQ(notes[ShortcutAction::nextScene], "vidorel ctl next-scene");
  EXPECT_EQ(notes[ShortcutAction::retake], "vidorel ctl retake");
  EXPECT_EQ(shortcutRowContent(ShortcutAction::retake, absent, "'/opt/my apps/vidorel'").note,
            "'/opt/my apps/vidorel' ctl retake");
  EXPECT_EQ(desktopShortcutsNotice(absent), kNoShortcutsPortalNotice);
  DesktopShortcutsStatus refused = statusOf(DesktopShortcutsState::refused);
  EXPECT_EQ(shortcutRowContent(ShortcutAction::endTake, refused, "vidorel").note,
            "vidorel ctl end-take");
  EXPECT_EQ(desktopShortcutsNotice(refused), kShortcutsRefusedNotice);
}

TEST(ShortcutRowContent, TheCommandsAreTheOnesVidorelCtlTakes) {
  for (ShortcutAction action : globalShortcutActions) {
    std::optional<CtlAction> ctl = parseCtlAction(ctlWord(action));
    ASSERT_TRUE(ctl.has_value()) << rawValue(action);
    EXPECT_EQ(hotKeyAction(*ctl), action);
  }
  EXPECT_EQ(ctlWord(ShortcutAction::save), "");
}

// A folder of fake programs for PATH.
class CtlProgramNameTest : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/vidorel-path.XXXXXX";
    root = mkdtemp(pattern);
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

TEST_F(CtlProgramNameTest, ThePlainNameWhenPathFindsThisProgram) {
  fs::create_directories(root / "bin");
  fs::create_symlink(executable, root / "bin" / "vidorel");
  std::string path = "/nonexistent:" + (root / "bin").string() + ":/usr/bin";
  EXPECT_EQ(ctlProgramName(executable, path), "vidorel");
}

TEST_F(CtlProgramNameTest, TheFullPathWhenPathFindsAnotherOrNone) {
  EXPECT_EQ(ctlProgramName(executable, "/nonexistent:/usr/bin"), executable.string());
  EXPECT_EQ(ctlProgramName(executable, ""), executable.string());
  // Another vidorel comes first on PATH: a command would start that one.
  program(root / "old" / "vidorel");
  fs::create_directories(root / "bin");
  fs::create_symlink(executable, root / "bin" / "vidorel");
  EXPECT_EQ(ctlProgramName(executable, (root / "old").string() + ":" + (root / "bin").string()),
            executable.string());
  // A file that cannot be run is not what a command starts.
  program(root / "text" / "vidorel", false);
  EXPECT_EQ(ctlProgramName(executable, (root / "text").string() + ":" + (root / "bin").string()),
            "vidorel");
  // A relative entry depends on where the desktop starts the command.
  fs::path here = fs::current_path();
  fs::current_path(root / "build");
  EXPECT_EQ(ctlProgramName(executable, ".::"), executable.string());
  fs::current_path(here);
}

TEST_F(CtlProgramNameTest, APathWithSpacesOrQuotesIsQuotedForTheCommandLine) {
  fs::path spaced = root / "my apps" / "it's" / "vidorel";
  program(spaced);
  EXPECT_EQ(ctlProgramName(spaced, "/usr/bin"),
            "'" + (root / "my apps").string() + "/it'\\''s/vidorel'");
  // What a shell makes of it is the path again.
  std::string command = "printf %s " + ctlProgramName(spaced, "/usr/bin");
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char buffer[512] = {};
  size_t read = fread(buffer, 1, sizeof buffer - 1, pipe);
  pclose(pipe);
  EXPECT_EQ(std::string(buffer, read), spaced.string());
}

class DesktopShortcutSettingsTest : public ::testing::Test {
protected:
  DesktopShortcutSettingsTest()
      : preferences(store),
        settings(ShortcutSettingsServices{
            preferences, hotKeys, [this] { return preferences.shortcutBindings(); }, [] {},
            [] { return true; }, [](bool) {}, &registrations, &desktop, "vidorel"}) {}

  class Refused final : public HotKeyRegistrations {
  public:
    std::optional<int> registrationError(ShortcutAction) const override {
      return kHotKeyHeldElsewhereStatus;
    }
  };

  Refused registrations;
  testing::FakeDesktopShortcuts desktop;
  FakeDefaultsStore store;
  Preferences preferences;
  testing::RecordingGlobalShortcuts hotKeys;
  ShortcutSettings settings;
};

TEST_F(DesktopShortcutSettingsTest, RowsFollowTheDesktopAndOnlyTheProgramsRowsWarn) {
  desktop.status = statusOf(DesktopShortcutsState::waiting);
  EXPECT_EQ(settings.rowContent(ShortcutAction::endTake).fieldText, "Asking the desktop…");
  // The X server's refusal says nothing about keys the desktop owns.
  EXPECT_EQ(settings.warning(ShortcutAction::endTake), "");
  EXPECT_EQ(settings.warning(ShortcutAction::save), kHeldElsewhereWarning);
  desktop.status =
      statusOf(DesktopShortcutsState::bound, {{ShortcutAction::endTake, "Ctrl+Alt+E"}});
  EXPECT_EQ(settings.rowContent(ShortcutAction::endTake).fieldText, "Ctrl+Alt+E");
  EXPECT_EQ(settings.notice(), "");
  desktop.status = statusOf(DesktopShortcutsState::absent);
  EXPECT_EQ(settings.rowContent(ShortcutAction::endTake).note, "vidorel ctl end-take");
  EXPECT_EQ(settings.notice(), kNoShortcutsPortalNotice);
  EXPECT_TRUE(settings.rowContent(ShortcutAction::export_).recordable);
}

} // namespace
} // namespace vidorel
