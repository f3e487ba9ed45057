// The libmpv player on the test X and audio servers, with real movies.

#include "fakes/test_application.h"
#include "review/mpv_player.h"
#include "support/movie_tools.h"

#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <tuple>
#include <vector>

namespace vidorel {
namespace {

::testing::Environment* const qt =
    ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment());

// Long waits on a slow shared machine: only outcomes count.
constexpr int Patience = 30000;

// Made once for all tests: 640x360 with sound; "slides" at two pictures a second.
std::filesystem::path movie(const char* name) {
  static QTemporaryDir folder;
  static bool made = [] {
    for (auto [file, seconds, rate] :
         {std::tuple{"six.mov", 6.0, 30}, std::tuple{"three.mov", 3.0, 30},
          std::tuple{"slides.mov", 4.0, 2}})
      testing::makeTake(folder.filePath(file).toStdString(),
                        {.seconds = seconds, .width = 640, .height = 360, .rate = rate});
    return true;
  }();
  (void)made;
  return folder.filePath(name).toStdString();
}

// `view` filling `window`, shown at (at, at).
bool showIn(QWidget& window, QWidget* view, int at) {
  auto* layout = new QVBoxLayout(&window);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(view);
  window.move(at, at);
  window.show();
  return QTest::qWaitForWindowExposed(&window);
}

class MpvPlayerTest : public ::testing::Test {
protected:
  void SetUp() override {
    movie("six.mov");
    player_ = std::make_shared<MpvPlayer>();
    ASSERT_TRUE(player_->isValid());
    ASSERT_TRUE(showIn(window_, player_->view(), 20));
    player_->onEndOfItem = [this](Player::ItemID item) { ends_.push_back(item); };
  }

  // Loads and waits until mpv knows the movie's length.
  Player::ItemID loadAndWait(const std::filesystem::path& file) {
    Player::ItemID item = player_->load(file);
    EXPECT_TRUE(QTest::qWaitFor([&] { return player_->itemDuration().has_value(); }, Patience));
    return item;
  }
  bool seekAndWait(double seconds) {
    bool done = false;
    player_->seek(seconds, [&] { done = true; });
    return QTest::qWaitFor([&] { return done; }, Patience);
  }

  QWidget window_;
  std::shared_ptr<MpvPlayer> player_;
  std::vector<Player::ItemID> ends_;
};

// At two pictures a second playback stops at the end time, not the next
// picture, reported once and rearmed by a seek back. A replaced item is never
// reported; the new one's natural end is, once, on its last frame.
TEST_F(MpvPlayerTest, PlaybackStopsAtTheEndTimeAndAtTheNaturalEndOnly) {
  Player::ItemID first = loadAndWait(movie("slides.mov"));
  std::vector<double> heard;
  player_->addPeriodicTimeObserver(0.05, [&](double t) { heard.push_back(t); });
  ASSERT_TRUE(seekAndWait(1.0));
  EXPECT_NEAR(player_->currentTime(), 1.0, 0.05);
  ASSERT_FALSE(heard.empty());
  EXPECT_NEAR(heard.back(), 1.0, 0.05);
  player_->setEndTime(2.5);
  heard.clear();
  player_->play();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !ends_.empty(); }, Patience));
  EXPECT_EQ(ends_, std::vector<Player::ItemID>{first});
  EXPECT_FALSE(player_->isPlaying());
  EXPECT_NEAR(player_->currentTime(), 2.5, 0.15);
  std::vector<double> moved;
  for (double t : heard)
    if (moved.empty() || t > moved.back())
      moved.push_back(t);
  ASSERT_GT(moved.size(), 10u);
  for (std::size_t i = 1; i < moved.size(); ++i)
    EXPECT_LT(moved[i] - moved[i - 1], 0.3) << "from " << moved[i - 1];

  // It stays there; playing at the end time ends at once, unreported.
  player_->play();
  QTest::qWait(1000);
  EXPECT_FALSE(player_->isPlaying());
  EXPECT_NEAR(player_->currentTime(), 2.5, 0.15);
  EXPECT_EQ(ends_.size(), 1u);
  ASSERT_TRUE(seekAndWait(2.0));
  player_->play();
  ASSERT_TRUE(QTest::qWaitFor([&] { return ends_.size() == 2; }, Patience));
  EXPECT_NEAR(player_->currentTime(), 2.5, 0.15);

  ASSERT_TRUE(seekAndWait(2.0));
  player_->play();
  ASSERT_TRUE(QTest::qWaitFor([&] { return player_->currentTime() > 2.2; }, Patience));
  Player::ItemID second = player_->load(movie("three.mov"));
  EXPECT_GT(second, first);
  EXPECT_EQ(player_->currentItem(), second);
  EXPECT_FALSE(player_->isPlaying()) << "a movie loaded waits paused at its start";
  EXPECT_FALSE(player_->endTime());
  EXPECT_EQ(player_->currentTime(), 0);
  ASSERT_TRUE(QTest::qWaitFor([&] { return player_->itemDuration().has_value(); }, Patience));
  EXPECT_NEAR(*player_->itemDuration(), 3.0, 0.1);
  QTest::qWait(1000);
  EXPECT_EQ(ends_.size(), 2u);
  ASSERT_TRUE(seekAndWait(2.5));
  player_->play();
  ASSERT_TRUE(QTest::qWaitFor([&] { return ends_.size() == 3; }, Patience));
  EXPECT_EQ(ends_.back(), second);
  double end = player_->currentTime();
  EXPECT_GT(end, 2.8);
  player_->play();
  QTest::qWait(1000);
  EXPECT_FALSE(player_->isPlaying());
  EXPECT_EQ(player_->currentTime(), end);
  EXPECT_EQ(ends_.size(), 3u);
}

// Until the window shows a picture, read back from the X server (mpv draws
// into its own window, unknown to the widget's painting).
bool waitForPicture(QWidget& window) {
  return QTest::qWaitFor(
      [&] {
        QImage image = window.screen()->grabWindow(window.winId()).toImage();
        for (int y = 0; y < image.height(); y += 4)
          for (int x = 0; x < image.width(); x += 4)
            if (qRed(image.pixel(x, y)) + qGreen(image.pixel(x, y)) + qBlue(image.pixel(x, y)) >
                150)
              return true;
        return false;
      },
      Patience);
}

bool mpvHasItsOwnWindow() {
  return std::system("xdotool search --name mpv >/dev/null") == 0;
}

// Drawn in the view, never a window of mpv's, even when loaded before placed.
TEST(MpvPlayerBeforeItsWindow, AMovieLoadedBeforeTheViewIsPlacedIsDrawnInIt) {
  MpvPlayer player;
  bool done = false;
  player.load(movie("six.mov"));
  player.seek(1.0, [&] { done = true; });
  ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, Patience));
  EXPECT_NEAR(player.currentTime(), 1.0, 0.05);
  EXPECT_FALSE(mpvHasItsOwnWindow());

  QWidget window;
  ASSERT_TRUE(showIn(window, player.view(), 40));
  EXPECT_TRUE(waitForPicture(window)) << "the view stayed black";
  EXPECT_FALSE(mpvHasItsOwnWindow());

  // Hidden and shown again, the paused picture comes back.
  window.hide();
  QTest::qWait(300);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  EXPECT_TRUE(waitForPicture(window));
}

TEST_F(MpvPlayerTest, AViewDeletedWithItsWindowLeavesThePlayerSafe) {
  auto window = std::make_unique<QWidget>();
  auto player = std::make_shared<MpvPlayer>(window.get());
  window->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  player->load(movie("six.mov"));
  player->play();
  QTest::qWait(500);
  window.reset();
  EXPECT_FALSE(player->isPlaying());
  player->seek(1.0);
  player->play();
  QTest::qWait(200);
}

} // namespace
} // namespace vidorel
