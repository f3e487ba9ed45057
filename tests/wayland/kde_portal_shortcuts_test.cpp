// Global hot keys through the real GlobalShortcuts portal of KDE: the
// xdg-desktop-portal frontend, KDE's backend and kglobalaccel, which
// tests/wayland/with-kde-portal starts on the X server of
// scripts/desktop-env. The keys are pressed on that X server, where
// kglobalaccel grabs them.

#include "shortcuts/desktop_shortcuts.h"
#include "shortcuts/portal_global_shortcuts.h"
#include "shortcuts/shortcut_action.h"
#include "shortcuts/shortcut_binding.h"
#include "workflow/app_state_manager.h"

#include "fakes/test_application.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vidorel {
namespace {

::testing::Environment* const qt =
    ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment("offscreen"));

// A key press on the X server, as the user's keyboard makes one.
void press(const std::string& keys) {
  std::string command = "xdotool key " + keys;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// The addresses KDE's backend opened (its settings page).
std::vector<std::string> openedPages() {
  std::vector<std::string> pages;
  std::ifstream in(std::getenv("VIDOREL_TEST_KDE_OPENED"));
  std::string line;
  while (std::getline(in, line))
    pages.push_back(line);
  return pages;
}

ShortcutBindings globalFactoryBindings() {
  ShortcutBindings bindings;
  for (ShortcutAction action : globalShortcutActions)
    bindings.emplace(action, defaultBinding(action));
  return bindings;
}

// The program's global keys over the desktop's portal, counting each
// action's activations.
struct ProgramKeys {
  explicit ProgramKeys(Logger& logger) : keys(logger) {
    for (ShortcutAction action : globalShortcutActions)
      keys.setHandler(action, [this, action] { ++runs[action]; });
  }
  bool bind() {
    keys.registerBindings(globalFactoryBindings());
    return testing::spinUntil(
        [&] { return keys.desktopStatus().state != DesktopShortcutsState::waiting; },
        std::chrono::seconds(10));
  }
  bool runsOnce(ShortcutAction action) {
    return testing::spinUntil([&] { return runs[action] == 1; }, std::chrono::seconds(5));
  }

  PortalGlobalShortcuts keys;
  std::map<ShortcutAction, int> runs;
};

// KDE's own names of the factory keys.
const std::map<ShortcutAction, std::string> kKdeTriggers = {
    {ShortcutAction::startPause, "Ctrl+Shift+Space"},
    {ShortcutAction::endTake, "Ctrl+Shift+Return"},
    {ShortcutAction::nextScene, "Ctrl+Shift+N"},
    {ShortcutAction::retake, "Ctrl+Shift+R"},
};

class KdePortalShortcuts : public ::testing::Test {
protected:
  void SetUp() override {
    if (const char* missing = std::getenv("VIDOREL_TEST_KDE_PORTAL_MISSING"))
      GTEST_SKIP() << missing;
    ASSERT_NE(std::getenv("VIDOREL_TEST_KDE_OPENED"), nullptr)
        << "run through tests/wayland/with-kde-portal";
    logger_.addSink(std::make_shared<StderrLogSink>());
  }
  Logger logger_;
};

TEST_F(KdePortalShortcuts, BindsTheFourShortcutsAndAKeyOnTheXServerRunsItsHandler) {
  ProgramKeys program(logger_);
  ASSERT_TRUE(program.keys.available());
  ASSERT_TRUE(program.bind());
  DesktopShortcutsStatus status = program.keys.desktopStatus();
  ASSERT_EQ(status.state, DesktopShortcutsState::bound);
  EXPECT_EQ(status.triggers, kKdeTriggers);
  // The settings window shows the desktop's keys in the four rows.
  ShortcutRowContent row = shortcutRowContent(ShortcutAction::endTake, status, "vidorel");
  EXPECT_FALSE(row.recordable);
  EXPECT_EQ(row.fieldText, "Ctrl+Shift+Return");
  EXPECT_EQ(row.note, kChangedInDesktopNote);
  EXPECT_TRUE(desktopShortcutsNotice(status).empty());
  // Bound at the session's start, the desktop's settings page stays shut.
  EXPECT_TRUE(openedPages().empty()) << openedPages().front();

  press("ctrl+shift+Return");
  EXPECT_TRUE(program.runsOnce(ShortcutAction::endTake));
  press("ctrl+shift+space");
  EXPECT_TRUE(program.runsOnce(ShortcutAction::startPause));
  press("ctrl+shift+n");
  EXPECT_TRUE(program.runsOnce(ShortcutAction::nextScene));
  EXPECT_EQ(program.runs[ShortcutAction::endTake], 1);
  EXPECT_EQ(program.runs[ShortcutAction::retake], 0);

  // While a settings row listens for keys, the desktop's key does nothing.
  program.keys.unregisterAll();
  press("ctrl+shift+r");
  testing::spinUntil([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_EQ(program.runs[ShortcutAction::retake], 0);
  program.keys.registerBindings(globalFactoryBindings());
  press("ctrl+shift+r");
  EXPECT_TRUE(program.runsOnce(ShortcutAction::retake));
}

TEST_F(KdePortalShortcuts, AfterARestartTheKeysAreBoundAgainAndFire) {
  // The first start is another process (this program running the case
  // above), which binds, presses and quits; kglobalaccel keeps its entry,
  // as on a desktop where it outlives the programs.
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::string firstStart =
      self +
      " --gtest_filter=KdePortalShortcuts.BindsTheFourShortcutsAndAKeyOnTheXServerRunsItsHandler";
  ASSERT_EQ(std::system(firstStart.c_str()), 0) << firstStart;

  ProgramKeys program(logger_);
  ASSERT_TRUE(program.bind());
  DesktopShortcutsStatus status = program.keys.desktopStatus();
  ASSERT_EQ(status.state, DesktopShortcutsState::bound);
  EXPECT_EQ(status.triggers, kKdeTriggers);
  press("ctrl+shift+Return");
  EXPECT_TRUE(program.runsOnce(ShortcutAction::endTake));
  press("ctrl+shift+space");
  EXPECT_TRUE(program.runsOnce(ShortcutAction::startPause));
  EXPECT_TRUE(openedPages().empty()) << openedPages().front();
}

} // namespace
} // namespace vidorel
