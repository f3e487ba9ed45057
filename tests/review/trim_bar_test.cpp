#include "review/trim_bar.h"

#include "fakes/fake_player.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vidorel {
namespace {

// The bar of a 10 s take, as the review window holds it: the range lives in
// the owner, the bar edits it.
struct TrimBarTest : ::testing::Test {
  static constexpr double width = 424; // track 400

  double trimStart = 2;
  double trimEnd = 8;
  int changes = 0;
  std::shared_ptr<FakePlayer> player = std::make_shared<FakePlayer>();
  TrimBar bar{trimStart, trimEnd, [this] { ++changes; }};

  void SetUp() override {
    player->load("take.mov");
    player->durations["take.mov"] = 10;
    bar.update(true, 10, player);
  }

  // Presses the handle at its centre and drags it to x in one long move.
  void drag(TrimHandle handle, double x) {
    TrimBarGeometry g = bar.geometry(width);
    double from = handle == TrimHandle::start ? g.startHandleX : g.endHandleX;
    bar.press(handle, from, 20);
    bar.move(x, 20, width);
    bar.release(x, 20, width);
  }
};

TEST_F(TrimBarTest, GeometryOfATenSecondTakeTrimmedToTwoToEight) {
  TrimBarGeometry g = bar.geometry(width);
  EXPECT_DOUBLE_EQ(g.trackWidth, 400);
  EXPECT_DOUBLE_EQ(g.startHandleX, 86);
  EXPECT_DOUBLE_EQ(g.endHandleX, 338);
  EXPECT_DOUBLE_EQ(g.rangeX, 92);
  EXPECT_DOUBLE_EQ(g.rangeWidth, 240);
  EXPECT_TRUE(g.shadeBefore && g.shadeAfter);
  EXPECT_EQ(bar.handleAt(86, 10, width), TrimHandle::start);
  EXPECT_EQ(bar.handleAt(343, 40, width), TrimHandle::end);
  EXPECT_EQ(bar.handleAt(200, 10, width), std::nullopt);
  EXPECT_EQ(bar.handleAt(86, 50, width), std::nullopt) << "the label row is not a handle";

  trimStart = 0;
  trimEnd = 10;
  g = bar.geometry(width);
  EXPECT_FALSE(g.shadeBefore || g.shadeAfter);
  EXPECT_DOUBLE_EQ(g.rangeWidth, 400);
  // Given from outside, an inverted range is drawn as nothing, not as a
  // negative width.
  trimStart = 8;
  trimEnd = 2;
  EXPECT_DOUBLE_EQ(bar.geometry(width).rangeWidth, 0);
  // Without a duration the handles sit at the bar's ends.
  bar.update(true, 0, nullptr);
  EXPECT_DOUBLE_EQ(bar.geometry(width).startHandleX, 6);
  EXPECT_DOUBLE_EQ(bar.geometry(width).endHandleX, 418);
}

// A drag follows the pointer (the player's end time with it) and reports
// once, at the release; a handle stops half a second short of the other,
// and at the bar's ends; a move shorter than the minimum distance is no
// drag.
TEST_F(TrimBarTest, DragsFollowThePointerAndReportOnceAtTheEnd) {
  bar.press(TrimHandle::end, 338, 20);
  bar.move(318, 20, width); // x 318 -> f 0.75
  EXPECT_NEAR(trimEnd, 7.5, 1e-9);
  bar.move(218, 20, width); // f 0.5
  EXPECT_NEAR(trimEnd, 5.0, 1e-9);
  EXPECT_EQ(changes, 0) << "nothing is reported while the drag goes on";
  EXPECT_NEAR(player->endTime().value_or(0), 5.0, 1e-9);
  bar.release(218, 20, width);
  EXPECT_EQ(changes, 1);

  drag(TrimHandle::start, 400);
  EXPECT_NEAR(trimStart, 4.5, 1e-9);
  drag(TrimHandle::end, 0);
  EXPECT_NEAR(trimEnd, 5.0, 1e-9);
  drag(TrimHandle::start, -500);
  EXPECT_EQ(trimStart, 0);
  drag(TrimHandle::end, 5000);
  EXPECT_EQ(trimEnd, 10);
  EXPECT_EQ(changes, 5);

  bar.press(TrimHandle::start, 6, 20);
  bar.move(12, 26, width); // about 8.5 points away
  bar.release(12, 26, width);
  // Moving without a press (or after the release) does nothing either.
  bar.move(300, 20, width);
  EXPECT_EQ(trimStart, 0);
  EXPECT_EQ(changes, 5);
}

TEST_F(TrimBarTest, StartHandlePassingThePlayheadSeeksThePlayerThere) {
  player->setTime(3);
  drag(TrimHandle::start, 206); // f 0.5 -> 5 s
  ASSERT_EQ(player->seeks.size(), 1u);
  EXPECT_NEAR(player->seeks[0], 5.0, 1e-9);
  EXPECT_NEAR(bar.playheadFraction(), 0.5, 1e-9) << "the seek's time jump moves the playhead";

  // Dragging it back to the left of the playhead does not seek.
  drag(TrimHandle::start, 46); // f 0.1 -> 1 s
  EXPECT_NEAR(trimStart, 1.0, 1e-9);
  EXPECT_EQ(player->seeks.size(), 1u);
}

// Paused, ticks only move the playhead (clamped to the bar); playing, they
// keep playback inside the range.
TEST_F(TrimBarTest, TicksKeepPlaybackInsideTheRange) {
  player->tick(0.5);
  player->tick(9.0);
  EXPECT_TRUE(player->seeks.empty());
  EXPECT_NEAR(bar.playheadFraction(), 0.9, 1e-9);
  player->tick(12);
  EXPECT_EQ(bar.playheadFraction(), 1);
  player->tick(-1);
  EXPECT_EQ(bar.playheadFraction(), 0);

  player->setPlaying(true);
  player->tick(5.0);
  EXPECT_TRUE(player->seeks.empty());
  EXPECT_NEAR(bar.playheadFraction(), 0.5, 1e-9);

  player->tick(1.95); // within 0.1 s of the start
  EXPECT_TRUE(player->seeks.empty());
  player->tick(1.85);
  player->tick(8.02);
  EXPECT_FALSE(player->isPlaying());
  EXPECT_EQ(player->seeks, (std::vector<double>{2.0, 8.0}));

  // An end at the movie's natural end never pauses.
  for (double end : {10.0, 9.995}) {
    trimEnd = end;
    bar.update(true, 10, player);
    player->setPlaying(true);
    player->tick(9.999);
    EXPECT_TRUE(player->isPlaying()) << "end " << end;
  }
}

// The bar's one time observer goes with the player, and only while the bar
// shows a duration; an end set from outside moves the player's end time
// and the tick rule.
TEST_F(TrimBarTest, TheObserverFollowsThePlayerAndTheEnd) {
  EXPECT_EQ(player->observerCount(), 1u);
  EXPECT_DOUBLE_EQ(player->lastInterval, 0.05);
  trimEnd = 6;
  bar.update(true, 10, player);
  EXPECT_EQ(player->observerCount(), 1u) << "reinstalled, not added";
  EXPECT_EQ(player->endTime(), 6);
  player->setPlaying(true);
  player->tick(6.01);
  EXPECT_FALSE(player->isPlaying());

  auto other = std::make_shared<FakePlayer>();
  other->load("other.mov");
  bar.update(true, 10, other);
  EXPECT_EQ(player->observerCount(), 0u) << "nothing left on the old player";
  EXPECT_EQ(other->observerCount(), 1u);
  bar.update(true, 12, nullptr);
  EXPECT_EQ(other->observerCount(), 0u);
  bar.update(false, 12, other);
  EXPECT_EQ(other->observerCount(), 0u) << "a hidden bar observes nothing";
  bar.update(true, 0, other);
  EXPECT_EQ(other->observerCount(), 0u) << "no duration, no observer";
  // A bar destroyed while it observes leaves nothing behind.
  {
    double s = 0;
    double e = 4;
    TrimBar scoped(s, e, {});
    scoped.update(true, 4, other);
    EXPECT_EQ(other->observerCount(), 1u);
  }
  EXPECT_EQ(other->observerCount(), 0u);
}

TEST(TimeLabelTest, MinutesSecondsAndTruncatedTenths) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  // 2.3 and 0.7: decimal values that binary doubles hold a hair below.
  std::vector<std::string> labels;
  for (double t : {75.38, 0.04, -3.0, 3600.0, 59.99, 2.3, 0.7, nan, inf})
    labels.push_back(timeLabel(t));
  EXPECT_EQ(labels, (std::vector<std::string>{"1:15.3", "0:00.0", "0:00.0", "60:00.0", "0:59.9",
                                              "0:02.3", "0:00.7", "0:00.0", "0:00.0"}));
  // A range's labels read start, length, end.
  double start = 1.25;
  double end = 62.5;
  TrimBar bar(start, end, {});
  bar.update(true, 70, nullptr);
  EXPECT_EQ(bar.labels().start, "0:01.2");
  EXPECT_EQ(bar.labels().length, "1:01.2");
  EXPECT_EQ(bar.labels().end, "1:02.5");
}

} // namespace
} // namespace vidorel
