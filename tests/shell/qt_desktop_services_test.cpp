#include "shell/qt_desktop_services.h"
#include "shell/qt_main_loop.h"
#include "shell/qt_window_host.h"

#include <QApplication>
#include <QFileSystemModel>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTimer>

#include "fakes/test_application.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace vidorel {
namespace {

int argc = 1;
char name[] = "qt_desktop_services_test";
char* argv[] = {name, nullptr};

using testing::spinUntil;

std::filesystem::path makeTemporaryFolder() {
  char pattern[] = "/tmp/vidorel-panels.XXXXXX";
  return std::filesystem::path(mkdtemp(pattern));
}

QPushButton* buttonTitled(QMessageBox* box, const QString& title) {
  for (QAbstractButton* button : box->buttons()) {
    if (button->text() == title)
      return qobject_cast<QPushButton*>(button);
  }
  return nullptr;
}

TEST(QtAlertPresenter, ReturnsTheIndexOfTheChosenButtonInTheOrderAdded) {
  QApplication app(argc, argv);
  QtAlertPresenter alerts;
  Alert alert{"Save recording before closing?",
              "Your recording has unsaved changes.",
              AlertStyle::warning,
              {"Save…", "Don’t Save", "Cancel"}};

  QString seenText;
  QMessageBox::Icon seenIcon = QMessageBox::NoIcon;
  QPushButton* seenDefault = nullptr;
  QTimer::singleShot(50, [&] {
    QMessageBox* box = alerts.visibleBox();
    ASSERT_NE(box, nullptr);
    seenText = box->text();
    seenIcon = box->icon();
    seenDefault = box->defaultButton();
    ASSERT_EQ(seenDefault, buttonTitled(box, QString::fromUtf8("Save…")));
    buttonTitled(box, QString::fromUtf8("Don’t Save"))->click();
  });
  EXPECT_EQ(alerts.runModal(alert), 1);
  EXPECT_EQ(seenText, QStringLiteral("Save recording before closing?"));
  EXPECT_EQ(seenIcon, QMessageBox::Warning);
  EXPECT_EQ(alerts.visibleBox(), nullptr);

  QTimer::singleShot(50, [&] {
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(alerts.visibleBox(), &escape);
  });
  EXPECT_EQ(alerts.runModal(alert), 2) << "Escape chooses Cancel";

  QTimer::singleShot(50, [&] {
    QMessageBox* box = alerts.visibleBox();
    ASSERT_EQ(box->buttons().size(), 1);
    EXPECT_EQ(box->icon(), QMessageBox::Critical);
    box->buttons().front()->click();
  });
  EXPECT_EQ(alerts.runModal(Alert{"Export failed", "Disk full.", AlertStyle::critical, {}}), 0);
}

TEST(QtFilePanels, OpenPanelChoosesAPackageFolderAsOneItemAndAnswersOnTheLoop) {
  QApplication app(argc, argv);
  QtMainLoop loop;
  QtFilePanels panels(loop);
  std::filesystem::path root = makeTemporaryFolder();
  std::filesystem::path package = root / "Talk.vidorel";
  std::filesystem::create_directories(package / "takes");
  std::ofstream(package / "manifest.json") << "{}";

  bool answered = false;
  std::optional<std::filesystem::path> chosen;
  panels.showOpenPanel(OpenPanelOptions{"Open a recording", ".vidorel"},
                       [&](std::optional<std::filesystem::path> path) {
                         answered = true;
                         chosen = path;
                       });
  PackageFileDialog* dialog = panels.visiblePanel();
  ASSERT_NE(dialog, nullptr);
  EXPECT_FALSE(answered) << "the panel does not block its caller";
  // Opening the package folder, as a double-click or the Open button does,
  // chooses it instead of showing its contents.
  dialog->setDirectory(QString::fromStdString(root.string()));
  dialog->selectFile(QString::fromStdString(package.string()));
  dialog->accept();
  ASSERT_TRUE(spinUntil([&] { return answered; }));
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(std::filesystem::canonical(*chosen), std::filesystem::canonical(package));

  // A double-click on the package in the list chooses it too.
  answered = false;
  chosen.reset();
  panels.showOpenPanel(OpenPanelOptions{"Open a recording", ".vidorel"},
                       [&](std::optional<std::filesystem::path> path) {
                         answered = true;
                         chosen = path;
                       });
  dialog = panels.visiblePanel();
  dialog->setDirectory(QString::fromStdString(root.string()));
  auto* model = dialog->findChild<QFileSystemModel*>();
  auto* list = dialog->findChild<QListView*>(QStringLiteral("listView"));
  ASSERT_NE(model, nullptr);
  ASSERT_NE(list, nullptr);
  emit list->activated(model->index(QString::fromStdString(package.string())));
  ASSERT_TRUE(spinUntil([&] { return answered; }));
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(std::filesystem::canonical(*chosen), std::filesystem::canonical(package));

  // An ordinary folder is entered, not chosen; cancelling answers nothing.
  std::filesystem::create_directories(root / "plain");
  answered = false;
  panels.showOpenPanel(OpenPanelOptions{"Open a recording", ".vidorel"},
                       [&](std::optional<std::filesystem::path> path) {
                         answered = true;
                         chosen = path;
                       });
  dialog = panels.visiblePanel();
  dialog->setDirectory(QString::fromStdString((root / "plain").string()));
  QApplication::processEvents();
  EXPECT_FALSE(answered);
  dialog->reject();
  ASSERT_TRUE(spinUntil([&] { return answered; }));
  EXPECT_FALSE(chosen.has_value());
  std::filesystem::remove_all(root);
}

TEST(QtFilePanels, SavePanelProposesTheNameInTheFolderAndAnswersTheChosenPath) {
  QApplication app(argc, argv);
  QtMainLoop loop;
  QtFilePanels panels(loop);
  std::filesystem::path root = makeTemporaryFolder();

  std::optional<std::filesystem::path> chosen;
  bool answered = false;
  panels.showSavePanel(SavePanelOptions{"Recording.vidorel", root, true},
                       [&](std::optional<std::filesystem::path> path) {
                         answered = true;
                         chosen = path;
                       });
  PackageFileDialog* dialog = panels.visiblePanel();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
  EXPECT_EQ(std::filesystem::path(dialog->directory().absolutePath().toStdString()),
            std::filesystem::canonical(root));
  dialog->accept();
  ASSERT_TRUE(spinUntil([&] { return answered; }));
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(chosen->filename(), "Recording.vidorel");
  EXPECT_EQ(std::filesystem::canonical(chosen->parent_path()), std::filesystem::canonical(root));
  std::filesystem::remove_all(root);
}

TEST(QtWindowHost, KeepsOneWindowPerIdMadeByItsFactory) {
  QApplication app(argc, argv);
  QtWindowHost host;
  int made = 0;
  host.setFactory("review", [&] {
    ++made;
    auto* widget = new QWidget;
    widget->setObjectName(QStringLiteral("reviewView"));
    return widget;
  });
  std::vector<std::string> closedByHand;
  host.setClosedHandler([&](const std::string& id) { closedByHand.push_back(id); });

  openShellWindow(host, "review");
  openShellWindow(host, "review");
  EXPECT_EQ(made, 1);
  ASSERT_NE(host.window("review"), nullptr);
  EXPECT_EQ(host.window("review")->objectName(), QStringLiteral("reviewView"));
  EXPECT_EQ(host.window("review")->windowTitle(), QStringLiteral("Review Take"));
  EXPECT_TRUE(host.isWindowOpen("review"));
  EXPECT_EQ(host.activationPolicy(), ActivationPolicy::regular);

  // Without a factory a placeholder stands in.
  openShellWindow(host, "export");
  ASSERT_TRUE(host.isWindowOpen("export"));
  EXPECT_EQ(host.window("export")->windowTitle(), QStringLiteral("Export"));

  // Closing through the glue is not a close by hand.
  dismissShellWindow(host, "review");
  EXPECT_FALSE(host.isWindowOpen("review"));
  EXPECT_EQ(host.activationPolicy(), ActivationPolicy::accessory);
  ASSERT_TRUE(spinUntil([&] { return host.window("review") == nullptr; }));
  EXPECT_TRUE(closedByHand.empty());

  // The user closing the window is reported once it is gone, and the next
  // open makes a fresh one.
  host.window("export")->close();
  EXPECT_FALSE(host.isWindowOpen("export"));
  ASSERT_TRUE(spinUntil([&] { return !closedByHand.empty(); }));
  EXPECT_EQ(closedByHand, std::vector<std::string>{"export"});
  openShellWindow(host, "review");
  EXPECT_EQ(made, 2);
  host.window("review")->close();
  openShellWindow(host, "review");
  EXPECT_EQ(made, 3) << "a window closed by hand is not brought back";
  EXPECT_TRUE(host.isWindowOpen("review"));
}

} // namespace
} // namespace vidorel
