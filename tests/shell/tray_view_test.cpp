#include "shell/qt_single_instance.h"
#include "shell/shell_control.h"
#include "shell/tray_view.h"
#include "shell/workflow_adapters.h"
#include "shortcuts/key_positions.h"

#include <QApplication>

#include "fakes/test_application.h"

#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <fstream>

namespace vidorel {
namespace {

// The one QApplication of every test in shell_desktop_tests, on the X
// server of scripts/desktop-env.
::testing::Environment* const qt =
    ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment());

using testing::spinUntil;

// That the tint changes with the state is seen by the tray end-to-end
// test; here, that it covers the drawing only.
TEST(TrayIcon, IsTintedOverItsOpaquePixelsOnly) {
  QImage recording = trayIconImage(AppState::recording, 48);
  EXPECT_EQ(qAlpha(recording.pixel(0, 0)), 0);
  QColor slate = recording.pixelColor(10, 36);
  EXPECT_GT(slate.red(), slate.blue() + 60);
  EXPECT_EQ(slate.alpha(), 255);
}

TEST(TrayMenu, RebuildsFromTheModelOnEveryShowAndReportsOpenAndClose) {
  std::vector<std::string> events;
  AppState state = AppState::idle;
  std::map<ShortcutAction, ShortcutBinding> bindings{
      {ShortcutAction::newSession, defaultBinding(ShortcutAction::newSession)}};
  TrayMenu::Hooks hooks;
  hooks.entries = [&] {
    events.push_back("entries");
    return buildMenu(MenuInput{state, nullptr, 1, nullptr, &bindings});
  };
  hooks.willOpen = [&] { events.push_back("willOpen"); };
  hooks.didClose = [&] { events.push_back("didClose"); };
  hooks.choose = [&](const MenuEntry& entry) { events.push_back("choose " + entry.title); };
  TrayMenu tray(hooks, false);

  tray.popup();
  ASSERT_TRUE(spinUntil([&] { return tray.menu().isVisible(); }));
  EXPECT_EQ(events, (std::vector<std::string>{"willOpen", "entries"}));
  QList<QAction*> actions = tray.menu().actions();
  // The title alone: Qt writes the shortcut out beside it natively.
  EXPECT_EQ(actions[0]->text(), QStringLiteral("New Recording"));
  EXPECT_EQ(actions[0]->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::ALT | Qt::Key_N));
  EXPECT_TRUE(actions[0]->isShortcutVisibleInContextMenu());

  events.clear();
  actions[0]->activate(QAction::Trigger);
  tray.hideMenu();
  ASSERT_TRUE(spinUntil([&] { return !tray.menu().isVisible(); }));
  EXPECT_EQ(events, (std::vector<std::string>{"choose New Recording", "didClose"}));

  // Shown again in another state, the menu is built anew.
  state = AppState::reviewing;
  tray.popup();
  ASSERT_TRUE(spinUntil([&] { return tray.menu().isVisible(); }));
  EXPECT_EQ(tray.menu().actions().front()->text(), QStringLiteral("Reviewing — Scene 1"));
  EXPECT_FALSE(tray.menu().actions().front()->isEnabled());
  tray.hideMenu();
}

TEST(TrayMenu, KeyEquivalentsAnswerToTheirKeysWhateverTheyType) {
  // The key's text where a layout types something else than the US one,
  // even beyond ASCII (a German or Danish key).
  EXPECT_EQ(menuShortcut(ShortcutBinding{kVK_ANSI_A, 0, "ø", commandEventModifier}),
            QKeySequence(Qt::CTRL | Qt::Key_Ooblique));
  EXPECT_EQ(menuShortcut(ShortcutBinding{24, 0, "+", commandEventModifier}),
            QKeySequence(Qt::CTRL | Qt::Key_Plus));
  EXPECT_TRUE(menuShortcut(ShortcutBinding{kVK_ANSI_A, 0, "", commandEventModifier}).isEmpty());
  // The settings window names every recordable key, with all four
  // modifiers, as Qt's native text names the menu's shortcut for it.
  const KeyboardLayout& us = usKeyboardLayout();
  ModifierSet all{ModifierKey::command, ModifierKey::shift, ModifierKey::option,
                  ModifierKey::control};
  for (const KeyPosition& key : keyPositions()) {
    if (!isShortcutKeyCode(key.carbon))
      continue;
    ShortcutBinding bound = bindingFromKeyPress(key.carbon, all, us.keyText(key.carbon));
    EXPECT_EQ(menuShortcut(bound).toString(QKeySequence::NativeText).toStdString(),
              bound.displayString(us))
        << key.carbon;
  }
}

// A second start reaching the first is driven by the desktop end-to-end
// test; here, what it cannot stage: a socket file a crashed run left.
TEST(SingleInstance, AStaleSocketDoesNotKeepTheFirstOutButALiveOneKeepsTheSecond) {
  std::filesystem::path folder = vidorel::testing::makeTemporaryFolder("instance");
  std::filesystem::path socket = folder / "vidorel" / "control";
  std::filesystem::create_directories(socket.parent_path());
  std::ofstream(socket) << "";
  {
    auto answer = [](const std::string&) { return std::string("ok"); };
    SingleInstance first(socket);
    ASSERT_TRUE(first.becomePrimary(answer));
    SingleInstance second(socket);
    EXPECT_FALSE(second.becomePrimary(answer));
    EXPECT_FALSE(SingleInstance::send(folder / "nobody", "show-menu", 200).has_value());
  }
  std::filesystem::remove_all(folder);
}

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
