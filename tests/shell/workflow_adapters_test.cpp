#include "shell/workflow_adapters.h"

#include "shell/shell_control.h"

#include <QApplication>

#include <gtest/gtest.h>

namespace vidorel {
namespace {

int argc = 1;
char name[] = "workflow_adapters_test";
char* argv[] = {name, nullptr};

TEST(CountdownAwareShortcuts, AnyHotKeyCancelsARunningCountdownInsteadOfItsAction) {
  // As the app stacks them where no hot key can be registered.
  NoGlobalShortcuts none;
  ShortcutHandlerTap hotKeys(none);
  CountdownAwareShortcuts shortcuts(hotKeys);
  std::vector<std::string> calls;
  shortcuts.setHandler(ShortcutAction::endTake, [&] { calls.push_back("endTake"); });
  shortcuts.setHandler(ShortcutAction::startPause, [&] { calls.push_back("startPause"); });

  EXPECT_TRUE(hotKeys.run(ShortcutAction::endTake));
  shortcuts.install([&] { calls.push_back("cancel"); });
  EXPECT_TRUE(hotKeys.run(ShortcutAction::endTake));
  EXPECT_TRUE(hotKeys.run(ShortcutAction::startPause));
  shortcuts.remove();
  EXPECT_TRUE(hotKeys.run(ShortcutAction::startPause));
  EXPECT_FALSE(hotKeys.run(ShortcutAction::retake)) << "no handler was installed";

  EXPECT_EQ(calls, (std::vector<std::string>{"endTake", "cancel", "cancel", "startPause"}));
}

TEST(ShellStatusPanel, ShowsOnePanelPerTakeThatFollowsTheContent) {
  QApplication app(argc, argv);
  AppState state = AppState::recording;
  ShellStatusPanel status([&] { return statusContent(state, 2, 3); });
  status.hide();
  EXPECT_EQ(status.panel(), nullptr);

  status.show();
  RecordingStatusPanel* first = status.panel();
  ASSERT_NE(first, nullptr);
  status.show();
  EXPECT_EQ(status.panel(), first) << "a second show keeps the panel";
  EXPECT_EQ(first->content().title, "REC — S2T3");

  state = AppState::paused;
  status.refresh();
  EXPECT_EQ(status.panel(), first);
  EXPECT_EQ(first->content().title, "PAUSED — S2T3");

  status.hide();
  EXPECT_EQ(status.panel(), nullptr);
}

} // namespace
} // namespace vidorel
