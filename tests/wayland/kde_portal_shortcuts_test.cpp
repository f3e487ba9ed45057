// Global hot keys through KDE's real portal stack (with-kde-portal), the keys
// pressed on the X server where kglobalaccel grabs them.

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

  // Bound at the session's start, KDE's names; its settings page stays shut.
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

  // True once the key pressed on the X server ran `action` once.
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
  EXPECT_TRUE(pressRuns("ctrl+shift+Return", ShortcutAction::endTake));
  EXPECT_TRUE(pressRuns("ctrl+shift+space", ShortcutAction::startPause));
  EXPECT_TRUE(pressRuns("ctrl+shift+r", ShortcutAction::retake));
  EXPECT_EQ(runs_[ShortcutAction::endTake], 1);
}

TEST_F(KdePortalShortcuts, AfterARestartTheKeysAreBoundAgainAndFire) {
  // The first start: this program running the case above; kglobalaccel
  // keeps its entry as it outlives programs.
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
