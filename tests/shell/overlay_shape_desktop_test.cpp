#include "shell/countdown_view.h"
#include "shell/recording_status_view.h"
#include "shell/x11_compositor.h"

#include <QApplication>
#include <QImage>
#include <QScreen>
#include <QThread>

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>

namespace vidorel {
namespace {

constexpr QRgb kDesktop = 0x3070b0;

// The whole screen as ImageMagick reads it from the X server, as a user's
// screenshot would: override-redirect windows and their shapes included.
QImage screenshot() {
  QByteArray png;
  FILE* pipe = popen("import -window root -depth 8 png:- 2>/dev/null", "r");
  char chunk[65536];
  for (std::size_t n; pipe && (n = fread(chunk, 1, sizeof(chunk), pipe)) > 0;)
    png.append(chunk, static_cast<qsizetype>(n));
  if (pipe)
    pclose(pipe);
  return QImage::fromData(png, "PNG");
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

// The status panel never takes the focus; without a compositor only its
// rounded shape shows. (Where it sits: statusPanelOrigin's test.)
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
  // The corners outside the rounded shape show the desktop; inside it, the
  // panel's dark background.
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
