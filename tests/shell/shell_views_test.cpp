#include "shell/countdown_view.h"
#include "shell/recording_status_view.h"

#include <QApplication>
#include <QScreen>

#include <gtest/gtest.h>

namespace vidorel {
namespace {

int argc = 1;
char name[] = "shell_views_test";
char* argv[] = {name, nullptr};

TEST(ShellViews, StatusPanelIsANonFocusPanelAtTheTopCentre) {
  QApplication app(argc, argv);
  RecordingStatusPanel panel;
  panel.setContent(statusContent(AppState::recording, 1, 1));
  panel.moveToTopCentre();
  panel.show();
  QApplication::processEvents();
  QRect work = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_EQ(panel.pos(), QPoint(work.x() + (work.width() - 260) / 2, work.y() + 12));
  EXPECT_EQ(panel.size(), QSize(260, 110));
  EXPECT_TRUE(panel.windowFlags().testFlag(Qt::WindowDoesNotAcceptFocus));
  EXPECT_TRUE(panel.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_FALSE(panel.isActiveWindow());
  EXPECT_EQ(panel.accessibleName(), QString::fromUtf8("REC — S1T1"));
  panel.setContent(statusContent(AppState::paused, 1, 1));
  EXPECT_EQ(panel.accessibleName(), QString::fromUtf8("PAUSED — S1T1"));

  CountdownWindow countdown;
  countdown.show();
  ASSERT_NE(countdown.view(), nullptr);
  countdown.showDigit(3);
  QApplication::processEvents();
  EXPECT_EQ(countdown.view()->geometry(), QGuiApplication::primaryScreen()->geometry());
  EXPECT_TRUE(countdown.view()->windowFlags().testFlag(Qt::WindowTransparentForInput));
  EXPECT_EQ(countdown.view()->digit(), 3);
  EXPECT_FALSE(countdown.view()->isActiveWindow());
  countdown.hide();
  EXPECT_EQ(countdown.view(), nullptr);
}

} // namespace
} // namespace vidorel
