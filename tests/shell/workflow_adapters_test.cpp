#include "shell/workflow_adapters.h"

#include "shell/shell_control.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {

// The status panel that follows each take is checked through the running
// app by the desktop end-to-end test.
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

} // namespace
} // namespace vidorel
