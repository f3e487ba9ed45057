#include "review/mpv_player.h"

#include "fakes/test_application.h"

#include <QDir>
#include <QImage>
#include <QKeyEvent>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>
#include <QWidget>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

namespace vidorel {
namespace {

::testing::Environment* const qt =
    ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment());

// The machine running the tests is slow and shared: waits are generous and
// only their outcome is checked.
constexpr int Patience = 30000;

// Movies made once for all tests: a colourful test picture with a tone.
class Movies {
public:
  static Movies& get() {
    static Movies movies;
    return movies;
  }
  bool ok() const { return ok_; }
  std::filesystem::path six() const { return path("six.mov"); }
  std::filesystem::path three() const { return path("three.mov"); }
  // Two pictures a second, as a take of still slides has.
  std::filesystem::path slides() const { return path("slides.mov"); }

private:
  Movies() {
    ok_ =
        folder_.isValid() && make("six.mov", 6) && make("three.mov", 3) && make("slides.mov", 4, 2);
  }
  std::filesystem::path path(const char* name) const {
    return std::filesystem::path(folder_.path().toStdString()) / name;
  }
  bool make(const char* name, int seconds, int framesPerSecond = 30) {
    QProcess ffmpeg;
    QString length = QString::number(seconds);
    QString picture = QStringLiteral("testsrc=size=640x360:rate=%1").arg(framesPerSecond);
    ffmpeg.start(QStringLiteral("ffmpeg"), {"-nostdin",
                                            "-loglevel",
                                            "error",
                                            "-y",
                                            "-f",
                                            "lavfi",
                                            "-i",
                                            picture,
                                            "-f",
                                            "lavfi",
                                            "-i",
                                            "sine=frequency=440:sample_rate=48000",
                                            "-t",
                                            length,
                                            "-c:v",
                                            "libx264",
                                            "-preset",
                                            "ultrafast",
                                            "-pix_fmt",
                                            "yuv420p",
                                            "-c:a",
                                            "aac",
                                            QString::fromStdString(path(name).string())});
    if (!ffmpeg.waitForFinished(120000) || ffmpeg.exitCode() != 0) {
      ADD_FAILURE() << "ffmpeg failed: " << ffmpeg.readAllStandardError().toStdString();
      return false;
    }
    return true;
  }

  QTemporaryDir folder_;
  bool ok_ = false;
};

// A window with the player's view in its layout, as the review window
// holds it, and a record of the ends reported.
class MpvPlayerTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(Movies::get().ok());
    player_ = std::make_shared<MpvPlayer>();
    ASSERT_TRUE(player_->isValid());
    auto* layout = new QVBoxLayout(&window_);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(player_->view());
    window_.setWindowTitle(QStringLiteral("Movie player"));
    window_.move(20, 20);
    window_.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window_));
    player_->onEndOfItem = [this](Player::ItemID item) { ends_.push_back(item); };
  }
  void TearDown() override { player_.reset(); }

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

TEST_F(MpvPlayerTest, ALoadedMovieWaitsPausedAtItsStart) {
  EXPECT_EQ(player_->currentItem(), 0u);
  EXPECT_EQ(player_->currentTime(), 0);
  EXPECT_FALSE(player_->itemDuration());

  Player::ItemID item = player_->load(Movies::get().six());
  EXPECT_NE(item, 0u);
  EXPECT_EQ(player_->currentItem(), item);
  EXPECT_EQ(player_->currentTime(), 0);
  EXPECT_FALSE(player_->endTime());
  ASSERT_TRUE(QTest::qWaitFor([&] { return player_->itemDuration().has_value(); }, Patience));
  EXPECT_NEAR(*player_->itemDuration(), 6.0, 0.1);

  // Paused: the clock stays at the start.
  QTest::qWait(500);
  EXPECT_FALSE(player_->isPlaying());
  EXPECT_NEAR(player_->currentTime(), 0.0, 0.05);
  EXPECT_TRUE(ends_.empty());
}

TEST_F(MpvPlayerTest, SeeksAreExactAndTellTheObservers) {
  loadAndWait(Movies::get().six());
  std::vector<double> heard;
  Player::ObserverToken token =
      player_->addPeriodicTimeObserver(0.05, [&](double t) { heard.push_back(t); });

  heard.clear();
  ASSERT_TRUE(seekAndWait(2.0));
  EXPECT_NEAR(player_->currentTime(), 2.0, 0.05);
  ASSERT_FALSE(heard.empty());
  EXPECT_NEAR(heard.back(), 2.0, 0.05);
  EXPECT_FALSE(player_->isPlaying());

  // Between two frames of the 30 frames/s movie, and back.
  ASSERT_TRUE(seekAndWait(4.5));
  EXPECT_NEAR(player_->currentTime(), 4.5, 0.05);
  ASSERT_TRUE(seekAndWait(1.0));
  EXPECT_NEAR(player_->currentTime(), 1.0, 0.05);

  // Seeks in a row: each completion runs, the last one decides.
  int completions = 0;
  player_->seek(3.0, [&] { ++completions; });
  player_->seek(3.5, [&] { ++completions; });
  ASSERT_TRUE(QTest::qWaitFor([&] { return completions == 2; }, Patience));
  EXPECT_NEAR(player_->currentTime(), 3.5, 0.05);

  player_->removeTimeObserver(token);
  heard.clear();
  ASSERT_TRUE(seekAndWait(2.0));
  EXPECT_TRUE(heard.empty());
}

TEST_F(MpvPlayerTest, PlaybackStopsByItselfAtTheEndTime) {
  Player::ItemID item = loadAndWait(Movies::get().six());
  std::vector<double> heard;
  player_->addPeriodicTimeObserver(0.05, [&](double t) { heard.push_back(t); });
  ASSERT_TRUE(seekAndWait(2.0));
  player_->setEndTime(3.0);
  EXPECT_EQ(player_->endTime(), 3.0);

  heard.clear();
  player_->play();
  EXPECT_TRUE(player_->isPlaying());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !ends_.empty(); }, Patience));
  EXPECT_FALSE(player_->isPlaying());
  EXPECT_NEAR(player_->currentTime(), 3.0, 0.15);
  EXPECT_EQ(ends_, std::vector<Player::ItemID>{item});
  // The clock moved while playing, and the observers heard of it.
  EXPECT_GT(heard.size(), 3u);
  EXPECT_GT(heard.back(), 2.5);

  // It stays there, reported once.
  QTest::qWait(1000);
  EXPECT_FALSE(player_->isPlaying());
  EXPECT_NEAR(player_->currentTime(), 3.0, 0.15);
  EXPECT_EQ(ends_.size(), 1u);

  // Playing at the end time ends at once, without another report.
  player_->play();
  QTest::qWait(1000);
  EXPECT_FALSE(player_->isPlaying());
  EXPECT_NEAR(player_->currentTime(), 3.0, 0.15);
  EXPECT_EQ(ends_.size(), 1u);

  // A seek back below the end time arms it again.
  ASSERT_TRUE(seekAndWait(2.5));
  player_->play();
  ASSERT_TRUE(QTest::qWaitFor([&] { return ends_.size() == 2; }, Patience));
  EXPECT_FALSE(player_->isPlaying());
  EXPECT_NEAR(player_->currentTime(), 3.0, 0.15);
  EXPECT_EQ(ends_.back(), item);
}

TEST_F(MpvPlayerTest, TheTimeMovesOnBetweenStillPicturesAndStopsAtTheEndTime) {
  Player::ItemID item = loadAndWait(Movies::get().slides());
  std::vector<double> heard;
  player_->addPeriodicTimeObserver(0.05, [&](double t) { heard.push_back(t); });
  player_->setEndTime(2.5);
  player_->play();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !ends_.empty(); }, Patience));
  EXPECT_EQ(ends_, std::vector<Player::ItemID>{item});
  // Stopped at the end time, not at the next picture half a second on.
  EXPECT_NEAR(player_->currentTime(), 2.5, 0.15);
  // The clock went on between the pictures: the playhead moved in small
  // steps, never one picture's length at once.
  std::vector<double> moved;
  for (double t : heard)
    if (moved.empty() || t > moved.back())
      moved.push_back(t);
  ASSERT_GT(moved.size(), 10u);
  for (std::size_t i = 1; i < moved.size(); ++i)
    EXPECT_LT(moved[i] - moved[i - 1], 0.3) << "from " << moved[i - 1];
}

TEST_F(MpvPlayerTest, PlaybackReportsTheNaturalEnd) {
  Player::ItemID item = loadAndWait(Movies::get().six());
  ASSERT_TRUE(seekAndWait(5.0));
  player_->play();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !ends_.empty(); }, Patience));
  EXPECT_EQ(ends_, std::vector<Player::ItemID>{item});
  EXPECT_FALSE(player_->isPlaying());
  // Kept open on its last frame; playing there stays there, unreported.
  double end = player_->currentTime();
  EXPECT_GT(end, 5.8);
  EXPECT_LE(end, *player_->itemDuration());
  player_->play();
  EXPECT_FALSE(player_->isPlaying());
  QTest::qWait(1500);
  EXPECT_FALSE(player_->isPlaying());
  EXPECT_EQ(player_->currentTime(), end);
  EXPECT_EQ(ends_.size(), 1u);
  EXPECT_EQ(player_->currentItem(), item);

  // Back into the finished movie.
  ASSERT_TRUE(seekAndWait(1.0));
  EXPECT_NEAR(player_->currentTime(), 1.0, 0.05);
}

TEST_F(MpvPlayerTest, AReplacedItemIsNeverReported) {
  Player::ItemID first = loadAndWait(Movies::get().six());
  ASSERT_TRUE(seekAndWait(5.5));
  player_->setEndTime(5.9);
  player_->play();
  ASSERT_TRUE(QTest::qWaitFor([&] { return player_->currentTime() > 5.6; }, Patience));

  Player::ItemID second = player_->load(Movies::get().three());
  EXPECT_GT(second, first);
  EXPECT_EQ(player_->currentItem(), second);
  EXPECT_FALSE(player_->isPlaying());
  EXPECT_FALSE(player_->endTime());
  EXPECT_EQ(player_->currentTime(), 0);
  ASSERT_TRUE(QTest::qWaitFor([&] { return player_->itemDuration().has_value(); }, Patience));
  EXPECT_NEAR(*player_->itemDuration(), 3.0, 0.1);
  QTest::qWait(1500);
  for (Player::ItemID item : ends_)
    EXPECT_NE(item, first);
  EXPECT_FALSE(player_->isPlaying());
  EXPECT_NEAR(player_->currentTime(), 0.0, 0.05);

  // The new item plays to its own end.
  ASSERT_TRUE(seekAndWait(2.5));
  player_->play();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !ends_.empty(); }, Patience));
  EXPECT_EQ(ends_, std::vector<Player::ItemID>{second});
}

// Whether any pixel is far from black.
bool showsAPicture(const QImage& image) {
  for (int y = 0; y < image.height(); y += 4)
    for (int x = 0; x < image.width(); x += 4) {
      QRgb pixel = image.pixel(x, y);
      if (qRed(pixel) + qGreen(pixel) + qBlue(pixel) > 150)
        return true;
    }
  return false;
}

// Waits until the window shows a picture; image holds the last grab. The
// picture is read back from the X server: mpv draws into its own window,
// which the widget's own painting knows nothing of.
bool waitForPicture(QWidget& window, QImage& image) {
  return QTest::qWaitFor(
      [&] {
        image = window.screen()->grabWindow(window.winId()).toImage();
        return showsAPicture(image);
      },
      Patience);
}

TEST_F(MpvPlayerTest, TheMovieIsDrawnInTheView) {
  loadAndWait(Movies::get().six());
  ASSERT_TRUE(seekAndWait(1.0));
  QWidget* view = player_->view();
  EXPECT_GE(view->width(), 640);
  EXPECT_GE(view->height(), 360);

  QImage image;
  bool drawn = waitForPicture(window_, image);
  QDir().mkpath(QStringLiteral(VIDOREL_ARTIFACTS_DIR));
  image.save(QStringLiteral(VIDOREL_ARTIFACTS_DIR "/mpv-player.png"));
  EXPECT_TRUE(drawn) << "the view stayed black";
}

// Whether mpv opened a window of its own instead of drawing into the view.
bool mpvHasItsOwnWindow() {
  QProcess xdotool;
  xdotool.start(QStringLiteral("xdotool"), {"search", "--name", "mpv"});
  xdotool.waitForFinished(10000);
  return !xdotool.readAllStandardOutput().trimmed().isEmpty();
}

TEST(MpvPlayerBeforeItsWindow, AMovieLoadedBeforeTheViewIsPlacedIsDrawnInIt) {
  ASSERT_TRUE(Movies::get().ok());
  MpvPlayer player;
  bool done = false;
  player.load(Movies::get().six());
  player.seek(1.0, [&] { done = true; });
  ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, Patience));
  EXPECT_NEAR(player.currentTime(), 1.0, 0.05);
  EXPECT_FALSE(mpvHasItsOwnWindow());

  QWidget window;
  auto* layout = new QVBoxLayout(&window);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(player.view());
  window.move(40, 40);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QImage image;
  bool drawn = waitForPicture(window, image);
  EXPECT_TRUE(drawn) << "the view stayed black";
  QDir().mkpath(QStringLiteral(VIDOREL_ARTIFACTS_DIR));
  image.save(QStringLiteral(VIDOREL_ARTIFACTS_DIR "/mpv-player-placed-late.png"));
  EXPECT_FALSE(mpvHasItsOwnWindow());

  // Hidden and shown again, the paused picture comes back.
  window.hide();
  QTest::qWait(300);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  EXPECT_TRUE(waitForPicture(window, image));
}

class KeyWindow final : public QWidget {
public:
  std::vector<int> keys;

protected:
  void keyPressEvent(QKeyEvent* event) override { keys.push_back(event->key()); }
};

void run(const QStringList& arguments) {
  QProcess process;
  process.start(QStringLiteral("xdotool"), arguments);
  process.waitForFinished(10000);
}

// A review window: its own key handling, the player's view in its layout
// and a paused picture on screen.
class MpvPlayerInput : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(Movies::get().ok());
    new QVBoxLayout(&window_);
    player_ = std::make_unique<MpvPlayer>(&window_);
    ASSERT_EQ(window_.layout()->indexOf(player_->view()), 0);
    window_.move(30, 30);
    window_.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window_));
    player_->load(Movies::get().six());
    bool done = false;
    player_->seek(1.0, [&] { done = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, Patience));
    QImage image;
    ASSERT_TRUE(waitForPicture(window_, image));
    window_.activateWindow();
    QTest::qWait(300);
  }
  void TearDown() override { player_.reset(); }

  QImage grab() { return window_.screen()->grabWindow(window_.winId()).toImage(); }
  // The pointer moves over the movie, here in the view's coordinates.
  void pointTo(QPoint local) {
    QPoint global = player_->view()->mapToGlobal(local);
    run({"mousemove", QString::number(global.x()), QString::number(global.y())});
  }

  KeyWindow window_;
  std::unique_ptr<MpvPlayer> player_;
};

TEST_F(MpvPlayerInput, SpaceOverTheMovieGoesToTheWindow) {
  // Without a window manager X gives keys to the window under the
  // pointer: here mpv's own.
  pointTo(player_->view()->rect().center());
  QTest::qWait(300);
  run({"key", "space"});
  ASSERT_TRUE(QTest::qWaitFor([&] { return !window_.keys.empty(); }, Patience));
  EXPECT_EQ(window_.keys, std::vector<int>{Qt::Key_Space});
  // mpv did nothing with it.
  QTest::qWait(500);
  EXPECT_FALSE(player_->isPlaying());
  EXPECT_NEAR(player_->currentTime(), 1.0, 0.05);
}

TEST_F(MpvPlayerInput, TheOnScreenControllerPlaysTheMovie) {
  QWidget* view = player_->view();
  QImage before = grab();
  // The controller shows on pointer motion, along the bottom edge.
  for (int i = 0; i < 5; ++i) {
    pointTo(QPoint(view->width() / 2 + 10 * i, view->height() / 2 + 5 * i));
    QTest::qWait(100);
  }
  QImage shown;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        shown = grab();
        return shown != before;
      },
      Patience));
  QDir().mkpath(QStringLiteral(VIDOREL_ARTIFACTS_DIR));
  shown.save(QStringLiteral(VIDOREL_ARTIFACTS_DIR "/mpv-player-controller.png"));

  // Its play button is at the left end of the bar.
  pointTo(QPoint(10, view->height() - 10));
  QTest::qWait(300);
  run({"click", "1"});
  ASSERT_TRUE(QTest::qWaitFor([&] { return player_->isPlaying(); }, Patience));
  ASSERT_TRUE(QTest::qWaitFor([&] { return player_->currentTime() > 1.2; }, Patience));
  player_->pause();
  EXPECT_FALSE(player_->isPlaying());
}

TEST_F(MpvPlayerTest, AViewDeletedWithItsWindowLeavesThePlayerSafe) {
  auto window = std::make_unique<QWidget>();
  auto player = std::make_shared<MpvPlayer>(window.get());
  window->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  player->load(Movies::get().six());
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
