#include "shell/qt_single_instance.h"
#include "shell/tray_view.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

namespace vidorel {
namespace {

int argc = 1;
char name[] = "tray_view_test";
char* argv[] = {name, nullptr};

template <typename Predicate> bool spinUntil(Predicate done) {
  QElapsedTimer clock;
  clock.start();
  while (!done() && clock.elapsed() < 5000)
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  return done();
}

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
  EXPECT_EQ(actions.front()->text(), QStringLiteral("New Recording"));
  EXPECT_EQ(actions.front()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_N));
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
