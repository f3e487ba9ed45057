// Global hot keys through the real GlobalShortcuts portal of KDE: the
// xdg-desktop-portal frontend, KDE's backend and kglobalaccel, which
// tests/wayland/with-kde-portal starts on the X server of
// scripts/desktop-env. The keys are pressed on that X server, where
// kglobalaccel grabs them.

#include "shortcuts/desktop_shortcuts.h"
#include "shortcuts/portal_global_shortcuts.h"
#include "workflow/app_state_manager.h"

#include "fakes/test_application.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {

::testing::Environment* const qt =
    ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment("offscreen"));

// The program's global keys over the desktop's portal, counting each
// action's runs.
class KdePortalShortcuts : public ::testing::Test {
protected:
  void SetUp() override {
    if (const char* missing = std::getenv("VIDOREL_TEST_KDE_PORTAL_MISSING"))
      GTEST_SKIP() << missing;
    ASSERT_NE(std::getenv("VIDOREL_TEST_KDE_OPENED"), nullptr)
        << "run through tests/wayland/with-kde-portal";
    logger_.addSink(std::make_shared<StderrLogSink>());
    for (ShortcutAction action : globalShortcutActions)
      keys_.setHandler(action, [this, action] { ++runs_[action]; });
  }

  // Bound at the session's start with KDE's names of the factory keys, and
  // the desktop's settings page stays shut.
  void bind() {
    ShortcutBindings bindings;
    for (ShortcutAction action : globalShortcutActions)
      bindings.emplace(action, defaultBinding(action));
    keys_.registerBindings(bindings);
    ASSERT_TRUE(testing::spinUntil(
        [&] { return keys_.desktopStatus().state != DesktopShortcutsState::waiting; },
        std::chrono::seconds(10)));
    ASSERT_EQ(keys_.desktopStatus().state, DesktopShortcutsState::bound);
    EXPECT_EQ(keys_.desktopStatus().triggers, (std::map<ShortcutAction, std::string>{
                                                  {ShortcutAction::startPause, "Ctrl+Shift+Space"},
                                                  {ShortcutAction::endTake, "Ctrl+Shift+Return"},
                                                  {ShortcutAction::nextScene, "Ctrl+Shift+N"},
                                                  {ShortcutAction::retake, "Ctrl+Shift+R"}}));
    EXPECT_EQ(testing::readFile(std::getenv("VIDOREL_TEST_KDE_OPENED")), "");
  }

  // A key press on the X server, as the user's keyboard makes one; true
  // once `action` ran once.
  bool pressRuns(const std::string& keys, ShortcutAction action) {
    EXPECT_EQ(std::system(("xdotool key " + keys).c_str()), 0) << keys;
    return testing::spinUntil([&] { return runs_[action] == 1; }, std::chrono::seconds(5));
  }

  Logger logger_;
  PortalGlobalShortcuts keys_{logger_};
  std::map<ShortcutAction, int> runs_;
};

TEST_F(KdePortalShortcuts, BindsTheFourShortcutsAndAKeyOnTheXServerRunsItsHandler) {
  ASSERT_TRUE(keys_.available());
  ASSERT_NO_FATAL_FAILURE(bind());
  // The settings window shows the desktop's keys in the four rows.
  ShortcutRowContent row =
      shortcutRowContent(ShortcutAction::endTake, keys_.desktopStatus(), "vidorel");
  EXPECT_FALSE(row.recordable);
  EXPECT_EQ(row.fieldText, "Ctrl+Shift+Return");
  EXPECT_EQ(row.note, kChangedInDesktopNote);
  EXPECT_TRUE(desktopShortcutsNotice(keys_.desktopStatus()).empty());

  EXPECT_TRUE(pressRuns("ctrl+shift+Return", ShortcutAction::endTake));
  EXPECT_TRUE(pressRuns("ctrl+shift+space", ShortcutAction::startPause));
  EXPECT_TRUE(pressRuns("ctrl+shift+n", ShortcutAction::nextScene));
  EXPECT_EQ(runs_[ShortcutAction::endTake], 1);

  // While a settings row listens for keys, the desktop's key does nothing.
  keys_.unregisterAll();
  EXPECT_FALSE(pressRuns("ctrl+shift+r", ShortcutAction::retake));
  ASSERT_NO_FATAL_FAILURE(bind());
  EXPECT_TRUE(pressRuns("ctrl+shift+r", ShortcutAction::retake));
}

TEST_F(KdePortalShortcuts, AfterARestartTheKeysAreBoundAgainAndFire) {
  // The first start is another process (this program running the case
  // above), which binds, presses and quits; kglobalaccel keeps its entry,
  // as on a desktop where it outlives the programs.
  std::string firstStart =
      std::filesystem::read_symlink("/proc/self/exe").string() +
      " --gtest_filter=KdePortalShortcuts.BindsTheFourShortcutsAndAKeyOnTheXServerRunsItsHandler";
  ASSERT_EQ(std::system(firstStart.c_str()), 0) << firstStart;
  ASSERT_NO_FATAL_FAILURE(bind());
  EXPECT_TRUE(pressRuns("ctrl+shift+Return", ShortcutAction::endTake));
  EXPECT_TRUE(pressRuns("ctrl+shift+space", ShortcutAction::startPause));
}

} // namespace
} // namespace vidorel
