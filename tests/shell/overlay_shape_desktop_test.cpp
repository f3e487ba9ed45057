#include "shell/countdown_view.h"
#include "shell/recording_status_view.h"
#include "shell/x11_compositor.h"

#include <QApplication>
#include <QScreen>
#include <QThread>

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace vidorel {
namespace {

int argc = 1;
char name[] = "overlay_shape_desktop_test";
char* argv[] = {name, nullptr};

constexpr std::uint32_t kDesktop = 0x3070b0;

// A screenshot of the whole screen, taken by ImageMagick as a user would.
struct Screenshot {
  int width = 0;
  int height = 0;
  std::string rgb;

  std::uint32_t at(int x, int y) const {
    const auto* p = reinterpret_cast<const unsigned char*>(rgb.data()) +
                    (static_cast<std::size_t>(y) * width + x) * 3;
    return (static_cast<std::uint32_t>(p[0]) << 16) | (p[1] << 8) | p[2];
  }
};

Screenshot screenshot(int width, int height) {
  Screenshot shot;
  shot.width = width;
  shot.height = height;
  FILE* pipe = popen("import -window root -depth 8 rgb:- 2>/dev/null", "r");
  if (!pipe)
    return shot;
  char chunk[65536];
  std::size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0)
    shot.rgb.append(chunk, n);
  pclose(pipe);
  return shot;
}

// A plain desktop colour on the root window, on a connection of our own.
class Desktop {
public:
  Desktop() {
    connection_ = xcb_connect(nullptr, nullptr);
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    paint(kDesktop);
  }
  ~Desktop() {
    paint(screen_->black_pixel);
    xcb_disconnect(connection_);
  }

private:
  void paint(std::uint32_t colour) {
    xcb_change_window_attributes(connection_, screen_->root, XCB_CW_BACK_PIXEL, &colour);
    xcb_clear_area(connection_, 0, screen_->root, 0, 0, 0, 0);
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }
  xcb_connection_t* connection_;
  xcb_screen_t* screen_;
};

void settle() {
  for (int i = 0; i < 20; ++i) {
    QApplication::processEvents();
    QThread::msleep(20);
  }
}

bool near(std::uint32_t got, std::uint32_t want, int tolerance = 8) {
  for (int shift : {0, 8, 16}) {
    int a = static_cast<int>((got >> shift) & 0xff);
    int b = static_cast<int>((want >> shift) & 0xff);
    if (std::abs(a - b) > tolerance)
      return false;
  }
  return true;
}

TEST(OverlayShape, WithoutACompositorTheCountdownShowsOnlyItsDigit) {
  QApplication app(argc, argv);
  Desktop desktop;
  ASSERT_FALSE(desktopComposites()) << "the test desktop runs no compositing manager";
  QRect screen = QGuiApplication::primaryScreen()->geometry();

  CountdownWindow countdown;
  countdown.show();
  ASSERT_NE(countdown.view(), nullptr);
  EXPECT_FALSE(countdown.view()->composited());
  countdown.showDigit(3);
  settle();
  Screenshot shot = screenshot(screen.width(), screen.height());
  countdown.hide();
  ASSERT_EQ(shot.rgb.size(), static_cast<std::size_t>(screen.width()) * screen.height() * 3);

  int desktopPixels = 0;
  int whitePixels = 0;
  int other = 0;
  for (int y = 0; y < screen.height(); y += 2) {
    for (int x = 0; x < screen.width(); x += 2) {
      std::uint32_t pixel = shot.at(x, y);
      if (near(pixel, kDesktop))
        ++desktopPixels;
      else if (near(pixel, 0xffffff, 24))
        ++whitePixels;
      else
        ++other;
    }
  }
  int all = desktopPixels + whitePixels + other;
  // The desktop everywhere but where the digit stands, in the middle.
  EXPECT_GT(desktopPixels, all * 8 / 10);
  EXPECT_GT(whitePixels, all / 100);
  for (QPoint corner : {QPoint(5, 5), QPoint(screen.width() - 5, 5), QPoint(5, screen.height() - 5),
                        QPoint(screen.width() - 5, screen.height() - 5)})
    EXPECT_TRUE(near(shot.at(corner.x(), corner.y()), kDesktop)) << corner.x() << "," << corner.y();
  EXPECT_TRUE(near(shot.at(screen.width() / 2, screen.height() / 2 - 60), 0xffffff, 24) ||
              near(shot.at(screen.width() / 2, screen.height() / 2), 0xffffff, 24) ||
              near(shot.at(screen.width() / 2 + 40, screen.height() / 2), 0xffffff, 24));

  // After the countdown the desktop shows whole again.
  settle();
  Screenshot after = screenshot(screen.width(), screen.height());
  ASSERT_EQ(after.rgb.size(), shot.rgb.size());
  EXPECT_TRUE(near(after.at(screen.width() / 2, screen.height() / 2), kDesktop));
}

TEST(OverlayShape, WithoutACompositorTheStatusPanelShowsOnlyItsRoundedShape) {
  QApplication app(argc, argv);
  Desktop desktop;
  QRect screen = QGuiApplication::primaryScreen()->geometry();
  RecordingStatusPanel panel;
  EXPECT_FALSE(panel.composited());
  panel.setContent(statusContent(AppState::recording, 1, 1));
  panel.move(100, 100);
  panel.show();
  settle();
  Screenshot shot = screenshot(screen.width(), screen.height());
  ASSERT_EQ(shot.rgb.size(), static_cast<std::size_t>(screen.width()) * screen.height() * 3);
  QRect frame = panel.geometry();
  // The corners outside the rounded shape show the desktop.
  EXPECT_TRUE(near(shot.at(frame.left() + 1, frame.top() + 1), kDesktop));
  EXPECT_TRUE(near(shot.at(frame.right() - 1, frame.top() + 1), kDesktop));
  EXPECT_TRUE(near(shot.at(frame.left() + 1, frame.bottom() - 1), kDesktop));
  EXPECT_TRUE(near(shot.at(frame.right() - 1, frame.bottom() - 1), kDesktop));
  // Inside it, the panel's dark background.
  EXPECT_TRUE(near(shot.at(frame.left() + 12, frame.bottom() - 4), 0x000000, 24));
  EXPECT_TRUE(near(shot.at(frame.right() - 4, frame.top() + 40), 0x000000, 24));
  // With a compositor the window keeps its clear corners and no mask.
  panel.setComposited(true);
  EXPECT_TRUE(panel.mask().isEmpty());
  panel.setComposited(false);
  EXPECT_FALSE(panel.mask().isEmpty());
  EXPECT_FALSE(panel.mask().contains(QPoint(0, 0)));
  EXPECT_TRUE(panel.mask().contains(QPoint(110, 55)));
}

} // namespace
} // namespace vidorel
