#include "shell/qt_desktop_services.h"
#include "shell/qt_main_loop.h"
#include "shell/qt_window_host.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileSystemModel>
#include <QKeyEvent>
#include <QListView>
#include <QTimer>

#include "fakes/test_application.h"

#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

namespace vidorel {
namespace {

using testing::spinUntil;

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
    QMessageBox* box = alerts.visibleBox();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), QStringLiteral("Save recording before closing?"));
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    EXPECT_EQ(box->defaultButton()->text(), QStringLiteral("Save…"));
    for (QAbstractButton* button : box->buttons())
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

// A package folder is chosen as one item, by the Open button or a
// double-click; an ordinary folder is entered. (The save panel is used for
// real by the desktop end-to-end test.)
TEST(QtFilePanels, APackageFolderIsChosenAsOneItem) {
  namespace fs = std::filesystem;
  fs::path root = fs::canonical(vidorel::testing::makeTemporaryFolder("panels"));
  fs::path package = root / "Talk.vidorel";
  fs::create_directories(package / "takes");
  std::ofstream(package / "manifest.json") << "{}";
  fs::create_directories(root / "plain");
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

  dialog = show(root / "plain");
  QApplication::processEvents();
  EXPECT_FALSE(chosen);
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
  EXPECT_EQ(host.window("review")->windowTitle(), QStringLiteral("Review Take"));
  EXPECT_TRUE(host.isWindowOpen("review"));
  openShellWindow(host, "export");

  // Closing through the glue is not a close by hand.
  dismissShellWindow(host, "review");
  EXPECT_FALSE(host.isWindowOpen("review"));
  ASSERT_TRUE(spinUntil([&] { return host.window("review") == nullptr; }));
  EXPECT_TRUE(closedByHand.empty());

  // The user closing a window is reported once it is gone, and the next
  // open makes a fresh one.
  host.window("export")->close();
  EXPECT_FALSE(host.isWindowOpen("export"));
  ASSERT_TRUE(spinUntil([&] { return !closedByHand.empty(); }));
  EXPECT_EQ(closedByHand, std::vector<std::string>{"export"});
  openShellWindow(host, "review");
  host.window("review")->close();
  openShellWindow(host, "review");
  EXPECT_EQ(made, 3) << "a window closed by hand is not brought back";
}

} // namespace
} // namespace vidorel
