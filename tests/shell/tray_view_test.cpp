#include "shell/qt_single_instance.h"
#include "shell/tray_view.h"
#include "shortcuts/key_positions.h"

#include <QApplication>
#include <QTimer>

#include "fakes/test_application.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

namespace vidorel {
namespace {

int argc = 1;
char name[] = "tray_view_test";
char* argv[] = {name, nullptr};

using testing::spinUntil;

TEST(TrayIcon, IsTintedOverItsOpaquePixelsOnlyOutsideIdle) {
  QApplication app(argc, argv);
  QImage idle = trayIconImage(AppState::idle, 48);
  QImage recording = trayIconImage(AppState::recording, 48);
  QImage reviewing = trayIconImage(AppState::reviewing, 48);
  ASSERT_EQ(idle.size(), QSize(48, 48));

  // A corner outside the drawing stays transparent in every state.
  EXPECT_EQ(qAlpha(idle.pixel(0, 0)), 0);
  EXPECT_EQ(qAlpha(recording.pixel(0, 0)), 0);

  // Inside the slate: a neutral grey while idle, reddish while recording,
  // bluish while reviewing.
  QPoint slate(10, 36);
  QColor plain = idle.pixelColor(slate);
  QColor red = recording.pixelColor(slate);
  QColor blue = reviewing.pixelColor(slate);
  EXPECT_EQ(plain.alpha(), 255);
  EXPECT_LT(std::abs(plain.red() - plain.blue()), 10);
  EXPECT_GT(red.red(), red.blue() + 60);
  EXPECT_GT(blue.blue(), blue.red() + 60);
  EXPECT_EQ(red.alpha(), 255);
}

TEST(TrayMenu, RebuildsFromTheModelOnEveryShowAndReportsOpenAndClose) {
  QApplication app(argc, argv);
  std::vector<std::string> events;
  AppState state = AppState::idle;
  std::map<ShortcutAction, ShortcutBinding> bindings;
  for (ShortcutAction action : allShortcutActions)
    bindings[action] = defaultBinding(action);
  ShortcutBinding newBinding;
  newBinding.keyEquivalent = "n";
  newBinding.eventModifiers = commandEventModifier;
  bindings[ShortcutAction::newSession] = newBinding;

  TrayMenu::Hooks hooks;
  hooks.entries = [&] {
    events.push_back("entries");
    MenuInput input;
    input.state = state;
    input.shortcutBindings = &bindings;
    return buildMenu(input);
  };
  hooks.willOpen = [&] { events.push_back("willOpen"); };
  hooks.didClose = [&] { events.push_back("didClose"); };
  hooks.choose = [&](const MenuEntry& entry) { events.push_back("choose " + entry.title); };
  TrayMenu tray(hooks, false);

  ASSERT_FALSE(tray.usesSystemTray());
  ASSERT_NE(tray.controlWindow(), nullptr);
  EXPECT_TRUE(tray.controlWindow()->isVisible());
  EXPECT_TRUE(tray.controlWindow()->windowFlags().testFlag(Qt::WindowStaysOnTopHint));

  tray.popup();
  ASSERT_TRUE(spinUntil([&] { return tray.menu().isVisible(); }));
  EXPECT_EQ(events, (std::vector<std::string>{"willOpen", "entries"}));
  QList<QAction*> actions = tray.menu().actions();
  ASSERT_FALSE(actions.isEmpty());
  // The title alone: Qt writes the shortcut out beside it natively.
  EXPECT_EQ(actions.front()->text(), QStringLiteral("New Recording"));
  EXPECT_EQ(actions.front()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_N));
  EXPECT_TRUE(actions.front()->isShortcutVisibleInContextMenu());
  EXPECT_EQ(actions[1]->text(), QStringLiteral("Open Recording…"));
  EXPECT_EQ(actions[1]->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
  EXPECT_NE(tray.description().find("Save Recording (disabled)"), std::string::npos);

  events.clear();
  actions.front()->activate(QAction::Trigger);
  tray.hideMenu();
  ASSERT_TRUE(spinUntil([&] { return !tray.menu().isVisible(); }));
  EXPECT_EQ(events, (std::vector<std::string>{"choose New Recording", "didClose"}));

  // Shown again in another state, the menu is built anew.
  state = AppState::reviewing;
  events.clear();
  tray.popup();
  ASSERT_TRUE(spinUntil([&] { return tray.menu().isVisible(); }));
  EXPECT_EQ(tray.menu().actions().front()->text(), QStringLiteral("Reviewing — Scene 1"));
  EXPECT_FALSE(tray.menu().actions().front()->isEnabled());
  tray.hideMenu();
  ASSERT_TRUE(spinUntil([&] { return !tray.menu().isVisible(); }));
  EXPECT_EQ(events, (std::vector<std::string>{"willOpen", "entries", "didClose"}));
}

TEST(TrayMenu, KeyEquivalentsAnswerToTheirKeysWhateverTheyType) {
  QApplication app(argc, argv);
  auto binding = [](std::uint32_t code, std::string key, std::uint64_t modifiers) {
    return ShortcutBinding{code, 0, std::move(key), modifiers};
  };
  std::uint64_t commandShift = commandEventModifier | shiftEventModifier;
  EXPECT_EQ(menuShortcut(defaultBinding(ShortcutAction::startPause)),
            QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Space));
  EXPECT_EQ(menuShortcut(defaultBinding(ShortcutAction::endTake)),
            QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Return));
  EXPECT_EQ(menuShortcut(defaultBinding(ShortcutAction::saveAs)),
            QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::ALT | Qt::Key_S));
  // Letters beyond ASCII (a German or Nordic key) keep their shortcut.
  EXPECT_EQ(menuShortcut(binding(kVK_ANSI_A, "ä", commandShift)),
            QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Adiaeresis));
  EXPECT_EQ(menuShortcut(binding(kVK_ANSI_A, "ø", commandEventModifier)),
            QKeySequence(Qt::CTRL | Qt::Key_Ooblique));
  EXPECT_EQ(menuShortcut(binding(24, "+", commandEventModifier)),
            QKeySequence(Qt::CTRL | Qt::Key_Plus));
  EXPECT_EQ(menuShortcut(binding(43, ",", controlEventModifier)),
            QKeySequence(Qt::META | Qt::Key_Comma));
  EXPECT_EQ(menuShortcut(binding(0x60, "?", commandShift)),
            QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_F5));
  EXPECT_EQ(menuShortcut(binding(kVK_Tab, "\t", optionEventModifier)),
            QKeySequence(Qt::ALT | Qt::Key_Tab));
  EXPECT_TRUE(menuShortcut(binding(kVK_ANSI_A, "", commandEventModifier)).isEmpty());

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

  // In the menu: the shortcut of a non-ASCII binding.
  std::map<ShortcutAction, ShortcutBinding> bindings;
  for (ShortcutAction action : allShortcutActions)
    bindings[action] = defaultBinding(action);
  bindings[ShortcutAction::openSession] = ShortcutBinding{kVK_ANSI_A, 0x300, "ä", commandShift};
  TrayMenu::Hooks hooks;
  hooks.entries = [&] {
    MenuInput input;
    input.shortcutBindings = &bindings;
    return buildMenu(input);
  };
  TrayMenu tray(hooks, false);
  tray.popup();
  ASSERT_TRUE(spinUntil([&] { return tray.menu().isVisible(); }));
  QAction* open = nullptr;
  for (QAction* action : tray.menu().actions())
    if (action->text().startsWith(QStringLiteral("Open Recording")))
      open = action;
  ASSERT_NE(open, nullptr);
  EXPECT_EQ(open->shortcut().toString(QKeySequence::NativeText), QStringLiteral("Ctrl+Shift+Ä"));
  tray.hideMenu();
}

TEST(SingleInstance, TheSecondStartReachesTheFirstAndCannotListenItself) {
  QApplication app(argc, argv);
  char pattern[] = "/tmp/vidorel-instance.XXXXXX";
  std::filesystem::path folder = mkdtemp(pattern);
  std::filesystem::path socket = folder / "vidorel" / "control";

  // A socket file left behind by a crashed run does not keep the first out.
  std::filesystem::create_directories(socket.parent_path());
  std::ofstream(socket) << "";

  {
    SingleInstance first(socket);
    std::vector<std::string> lines;
    ASSERT_TRUE(first.becomePrimary([&](const std::string& line) {
      lines.push_back(line);
      return std::string("ok");
    }));
    SingleInstance second(socket);
    EXPECT_FALSE(second.becomePrimary([](const std::string&) { return std::string("no"); }));

    // The sender blocks, so it runs on its own thread while this one serves.
    std::optional<std::string> reply;
    std::atomic<bool> done{false};
    std::thread sender([&] {
      reply = SingleInstance::send(socket, "show-menu");
      done = true;
    });
    spinUntil([&] { return done.load(); });
    sender.join();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, "ok");
    EXPECT_EQ(lines, std::vector<std::string>{"show-menu\n"});

    EXPECT_FALSE(SingleInstance::send(folder / "nobody", "show-menu", 200).has_value());
  }
  std::filesystem::remove_all(folder);
}

} // namespace
} // namespace vidorel
