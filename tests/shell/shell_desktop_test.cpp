// The shell's Qt side on the test X server; overlays seen in screenshots.

#include "fakes/test_application.h"
#include "shell/countdown_view.h"
#include "shell/qt_desktop_services.h"
#include "shell/qt_main_loop.h"
#include "shell/qt_window_host.h"
#include "shell/recording_status_view.h"
#include "shell/shell_control.h"
#include "shell/tray_view.h"
#include "shell/workflow_adapters.h"
#include "shell/x11_compositor.h"
#include "shortcuts/key_positions.h"
#include "support/temporary_folder.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileSystemModel>
#include <QImage>
#include <QKeyEvent>
#include <QListView>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace vidorel {
namespace {

::testing::Environment* const qt =
    ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment());

using testing::spinUntil;

TEST(TrayMenu, KeyEquivalentsAnswerToTheirKeysWhateverTheyType) {
  // The key's text where a layout types other than US, beyond ASCII too.
  EXPECT_EQ(menuShortcut(ShortcutBinding{kVK_ANSI_A, 0, "ø", commandEventModifier}),
            QKeySequence(Qt::CTRL | Qt::Key_Ooblique));
  EXPECT_EQ(menuShortcut(ShortcutBinding{24, 0, "+", commandEventModifier}),
            QKeySequence(Qt::CTRL | Qt::Key_Plus));
  EXPECT_TRUE(menuShortcut(ShortcutBinding{kVK_ANSI_A, 0, "", commandEventModifier}).isEmpty());
  // Every recordable key with all modifiers is named as Qt names the menu's.
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

TEST(QtMainLoop, RunsPostsInOrderOnTheMainThreadFromAnyThread) {
  QtMainLoop loop;
  std::vector<int> order;
  const std::thread::id mainThread = std::this_thread::get_id();
  std::atomic<bool> allOnMain{true};
  auto post = [&](int i) {
    loop.post([&, i] {
      allOnMain = allOnMain && std::this_thread::get_id() == mainThread;
      order.push_back(i);
    });
  };
  post(1);
  QElapsedTimer clock;
  clock.start();
  std::atomic<qint64> firedAfter{-1};
  std::thread([&] {
    for (int i = 2; i <= 4; ++i)
      post(i);
    loop.postAfter(Milliseconds(200), [&] {
      allOnMain = allOnMain && std::this_thread::get_id() == mainThread;
      firedAfter = clock.elapsed();
      QCoreApplication::quit();
    });
  }).join();
  QCoreApplication::exec();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_TRUE(allOnMain);
  EXPECT_GE(firedAfter.load(), 195);
}

// The buttons are pressed from a timer: runModal blocks in its own loop.
TEST(QtAlertPresenter, ReturnsTheIndexOfTheChosenButtonInTheOrderAdded) {
  QtAlertPresenter alerts;
  Alert alert{"Save recording before closing?",
              "Your recording has unsaved changes.",
              AlertStyle::warning,
              {"Save…", "Don’t Save", "Cancel"}};
  QTimer::singleShot(50, [&] {
    ASSERT_NE(alerts.visibleBox(), nullptr);
    EXPECT_EQ(alerts.visibleBox()->defaultButton()->text(), QStringLiteral("Save…"));
    for (QAbstractButton* button : alerts.visibleBox()->buttons())
      if (button->text() == QStringLiteral("Don’t Save"))
        button->click();
  });
  EXPECT_EQ(alerts.runModal(alert), 1);
  EXPECT_EQ(alerts.visibleBox(), nullptr);
  QTimer::singleShot(50, [&] {
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(alerts.visibleBox(), &escape);
  });
  EXPECT_EQ(alerts.runModal(alert), 2) << "Escape chooses Cancel";
}

// A package folder is chosen as one item, by Open or a double-click.
TEST(QtFilePanels, APackageFolderIsChosenAsOneItem) {
  namespace fs = std::filesystem;
  fs::path root = fs::canonical(vidorel::testing::makeTemporaryFolder("panels"));
  fs::path package = root / "Talk.vidorel";
  fs::create_directories(package / "takes");
  std::ofstream(package / "manifest.json") << "{}";
  QtMainLoop loop;
  QtFilePanels panels{loop};
  std::optional<std::optional<fs::path>> chosen;
  auto show = [&](const fs::path& folder) {
    chosen.reset();
    panels.showOpenPanel(
        OpenPanelOptions{"Open a recording", ".vidorel"},
        [&](std::optional<fs::path> path) { chosen = path ? fs::weakly_canonical(*path) : path; });
    panels.visiblePanel()->setDirectory(QString::fromStdString(folder.string()));
    EXPECT_FALSE(chosen);
    return panels.visiblePanel();
  };
  PackageFileDialog* dialog = show(root);
  dialog->selectFile(QString::fromStdString(package.string()));
  dialog->accept();
  ASSERT_TRUE(spinUntil([&] { return chosen.has_value(); }));
  EXPECT_EQ(*chosen, package);

  dialog = show(root);
  auto* model = dialog->findChild<QFileSystemModel*>();
  auto* list = dialog->findChild<QListView*>(QStringLiteral("listView"));
  ASSERT_TRUE(model && list);
  emit list->activated(model->index(QString::fromStdString(package.string())));
  ASSERT_TRUE(spinUntil([&] { return chosen.has_value(); }));
  EXPECT_EQ(*chosen, package);

  dialog = show(root);
  dialog->reject();
  ASSERT_TRUE(spinUntil([&] { return chosen.has_value(); }));
  EXPECT_EQ(*chosen, std::nullopt) << "cancelling answers nothing";
  fs::remove_all(root);
}

TEST(QtWindowHost, KeepsOneWindowPerIdMadeByItsFactory) {
  QtWindowHost host;
  int made = 0;
  host.setFactory("review", [&] {
    ++made;
    return new QWidget;
  });
  std::vector<std::string> closedByHand;
  host.setClosedHandler([&](const std::string& id) { closedByHand.push_back(id); });

  openShellWindow(host, "review");
  openShellWindow(host, "review");
  EXPECT_EQ(made, 1);
  EXPECT_TRUE(host.isWindowOpen("review"));
  openShellWindow(host, "export");

  // Closing through the glue is not a close by hand.
  dismissShellWindow(host, "review");
  EXPECT_FALSE(host.isWindowOpen("review"));
  ASSERT_TRUE(spinUntil([&] { return host.window("review") == nullptr; }));
  EXPECT_TRUE(closedByHand.empty());

  // A close by hand is reported once gone; the next open makes a fresh one.
  host.window("export")->close();
  EXPECT_FALSE(host.isWindowOpen("export"));
  ASSERT_TRUE(spinUntil([&] { return !closedByHand.empty(); }));
  EXPECT_EQ(closedByHand, std::vector<std::string>{"export"});
  openShellWindow(host, "review");
  host.window("review")->close();
  openShellWindow(host, "review");
  EXPECT_EQ(made, 3) << "a window closed by hand is not brought back";
}

constexpr QRgb kDesktop = 0x3070b0;

// The whole screen as a user's screenshot shows it, shaped overlays included.
QImage screenshot() {
  return QGuiApplication::primaryScreen()->grabWindow(0).toImage();
}

// A plain desktop colour on the root window, on a connection of our own.
class Desktop {
public:
  Desktop() : connection_(xcb_connect(nullptr, nullptr)) { paint(kDesktop); }
  ~Desktop() {
    paint(0);
    xcb_disconnect(connection_);
  }

private:
  void paint(std::uint32_t colour) {
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
    xcb_change_window_attributes(connection_, root, XCB_CW_BACK_PIXEL, &colour);
    xcb_clear_area(connection_, 0, root, 0, 0, 0, 0);
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }
  xcb_connection_t* connection_;
};

void settle() {
  for (int i = 0; i < 20; ++i, QThread::msleep(20))
    QApplication::processEvents();
}

bool near(QRgb got, QRgb want, int tolerance = 8) {
  return std::abs(qRed(got) - qRed(want)) <= tolerance &&
         std::abs(qGreen(got) - qGreen(want)) <= tolerance &&
         std::abs(qBlue(got) - qBlue(want)) <= tolerance;
}

// The countdown covers the screen without taking the input or the focus;
// without a compositor only its digit shows over the desktop.
TEST(OverlayShape, WithoutACompositorTheCountdownShowsOnlyItsDigit) {
  Desktop desktop;
  ASSERT_FALSE(desktopComposites()) << "the test desktop runs no compositing manager";
  QRect screen = QGuiApplication::primaryScreen()->geometry();
  CountdownWindow countdown;
  countdown.show();
  ASSERT_NE(countdown.view(), nullptr);
  EXPECT_FALSE(countdown.view()->composited());
  countdown.showDigit(3);
  settle();
  EXPECT_EQ(countdown.view()->geometry(), screen);
  EXPECT_TRUE(countdown.view()->windowFlags().testFlag(Qt::WindowTransparentForInput));
  EXPECT_FALSE(countdown.view()->isActiveWindow());
  QImage shot = screenshot();
  countdown.hide();
  EXPECT_EQ(countdown.view(), nullptr);
  ASSERT_EQ(shot.size(), screen.size());

  // The desktop everywhere but where the digit stands, in the middle.
  int desktopPixels = 0, whitePixels = 0, all = 0;
  for (int y = 0; y < shot.height(); y += 2)
    for (int x = 0; x < shot.width(); x += 2, ++all) {
      desktopPixels += near(shot.pixel(x, y), kDesktop);
      whitePixels += near(shot.pixel(x, y), 0xffffff, 24);
    }
  EXPECT_GT(desktopPixels, all * 8 / 10);
  EXPECT_GT(whitePixels, all / 100);

  // After the countdown the desktop shows whole again.
  settle();
  EXPECT_TRUE(near(screenshot().pixel(screen.center()), kDesktop));
}

// Never focused; without a compositor only the rounded shape shows.
TEST(OverlayShape, WithoutACompositorTheStatusPanelShowsOnlyItsRoundedShape) {
  Desktop desktop;
  RecordingStatusPanel panel;
  EXPECT_FALSE(panel.composited());
  panel.setContent(statusContent(AppState::recording, 1, 1));
  panel.moveToTopCentre();
  panel.show();
  settle();
  EXPECT_TRUE(panel.windowFlags().testFlag(Qt::WindowDoesNotAcceptFocus));
  EXPECT_TRUE(panel.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_FALSE(panel.isActiveWindow());
  QImage shot = screenshot();
  QRect frame = panel.geometry();
  // The desktop at the corners outside the shape, the dark panel inside.
  EXPECT_TRUE(near(shot.pixel(frame.topLeft() + QPoint(1, 1)), kDesktop));
  EXPECT_TRUE(near(shot.pixel(frame.bottomRight() - QPoint(1, 1)), kDesktop));
  EXPECT_TRUE(near(shot.pixel(frame.left() + 12, frame.bottom() - 4), 0x000000, 24));
  // With a compositor the window keeps its clear corners and no mask.
  panel.setComposited(true);
  EXPECT_TRUE(panel.mask().isEmpty());
  panel.setComposited(false);
  EXPECT_FALSE(panel.mask().contains(QPoint(0, 0)));
  EXPECT_TRUE(panel.mask().contains(QPoint(110, 55)));
}

} // namespace
} // namespace vidorel
