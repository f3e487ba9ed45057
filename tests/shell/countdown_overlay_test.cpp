#include "shell/countdown_overlay.h"

#include "base/virtual_main_loop.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vidorel {
namespace {

// Records what the overlay window would show, with the virtual time of each
// step.
class RecordingSurface final : public CountdownSurface {
public:
  explicit RecordingSurface(VirtualMainLoop& loop) : loop_(loop) {}
  void show() override {
    ++shows;
    visible = true;
  }
  void showDigit(int value) override { digits.push_back({value, loop_.now()}); }
  void hide() override {
    visible = false;
    hiddenAt = loop_.now();
  }

  struct Shown {
    int value;
    Milliseconds at;
  };
  VirtualMainLoop& loop_;
  int shows = 0;
  bool visible = false;
  std::optional<Milliseconds> hiddenAt;
  std::vector<Shown> digits;
};

class ManualInput final : public CountdownCancelInput {
public:
  void install(std::function<void()> fn) override {
    cancel = std::move(fn);
    ++installs;
  }
  void remove() override {
    cancel = nullptr;
    ++removals;
  }
  void press() {
    if (cancel)
      cancel();
  }
  std::function<void()> cancel;
  int installs = 0;
  int removals = 0;
};

struct CountdownRun {
  std::optional<bool> result;
};

Task<void> runCountdown(CountdownOverlay& overlay, int from, CountdownRun& run) {
  run.result = co_await overlay.run(from);
}

class CountdownOverlayTest : public ::testing::Test {
protected:
  VirtualMainLoop loop;
  RecordingSurface surface{loop};
  ManualInput escape;
  ManualInput hotKeys;
  CountdownOverlay overlay{loop, surface, {&escape, &hotKeys}};
};

TEST_F(CountdownOverlayTest, RunsOutAfterThreeSecondsShowingEachDigitForOneSecond) {
  CountdownRun run;
  spawn(runCountdown(overlay, 3, run));
  EXPECT_TRUE(surface.visible);
  EXPECT_TRUE(overlay.isRunning());
  EXPECT_EQ(escape.installs, 1);
  EXPECT_EQ(hotKeys.installs, 1);

  loop.advance(Milliseconds(2999));
  EXPECT_FALSE(run.result.has_value());
  loop.advance(Milliseconds(1));
  loop.runUntilIdle();
  ASSERT_TRUE(run.result.has_value());
  EXPECT_TRUE(*run.result);

  ASSERT_EQ(surface.digits.size(), 3u);
  EXPECT_EQ(surface.digits[0].value, 3);
  EXPECT_EQ(surface.digits[0].at, Milliseconds(0));
  EXPECT_EQ(surface.digits[1].value, 2);
  EXPECT_EQ(surface.digits[1].at, Milliseconds(1000));
  EXPECT_EQ(surface.digits[2].value, 1);
  EXPECT_EQ(surface.digits[2].at, Milliseconds(2000));
  EXPECT_FALSE(surface.visible);
  EXPECT_EQ(surface.hiddenAt, Milliseconds(3000));
  EXPECT_EQ(escape.removals, 1);
  EXPECT_EQ(hotKeys.removals, 1);
  EXPECT_FALSE(overlay.isRunning());
}

TEST_F(CountdownOverlayTest, CancelIsNoticedWithinOneTenthAndRemovesEverything) {
  CountdownRun run;
  spawn(runCountdown(overlay, 3, run));
  loop.advance(Milliseconds(1450));
  escape.press();
  loop.advance(Milliseconds(49));
  EXPECT_FALSE(run.result.has_value()) << "noticed only after the running tenth ends";
  loop.advance(Milliseconds(1));
  ASSERT_TRUE(run.result.has_value());
  EXPECT_FALSE(*run.result);
  EXPECT_EQ(surface.hiddenAt, Milliseconds(1500));
  EXPECT_FALSE(surface.visible);
  EXPECT_EQ(surface.digits.size(), 2u);
  EXPECT_EQ(escape.removals, 1);
  EXPECT_EQ(hotKeys.removals, 1);
  // The inputs are gone: a late press reaches nothing.
  EXPECT_FALSE(escape.cancel);
}

// Any hot key cancels as Escape does, and so does a press in the last
// tenth of the count.
TEST_F(CountdownOverlayTest, AnyHotKeyOrALatePressCancels) {
  for (auto [input, at] : {std::pair{&hotKeys, 300}, std::pair{&escape, 2950}}) {
    SCOPED_TRACE(at);
    CountdownRun run;
    spawn(runCountdown(overlay, 3, run));
    loop.advance(Milliseconds(at));
    input->press();
    loop.advance(Milliseconds(100));
    EXPECT_EQ(run.result, false);
  }
}

// A session closed during its countdown ends the count from the program's
// side; a cancel between counts must not spoil the next one.
TEST_F(CountdownOverlayTest, TheProgramCancelsLikeTheUserAndNotBetweenCounts) {
  overlay.cancel();
  CountdownRun run;
  spawn(runCountdown(overlay, 3, run));
  loop.advance(Milliseconds(1000));
  EXPECT_FALSE(run.result.has_value());
  overlay.cancel();
  loop.advance(Milliseconds(100));
  ASSERT_EQ(run.result, false);
  EXPECT_FALSE(surface.visible);
  EXPECT_EQ(escape.removals, 1);
}

TEST_F(CountdownOverlayTest, ANewRunAfterACancelShowsTheFullCountAgain) {
  CountdownRun first;
  spawn(runCountdown(overlay, 3, first));
  loop.advance(Milliseconds(500));
  escape.press();
  loop.advance(Milliseconds(100));
  ASSERT_EQ(first.result, false);

  surface.digits.clear();
  CountdownRun second;
  Milliseconds start = loop.now();
  spawn(runCountdown(overlay, 3, second));
  loop.advance(Milliseconds(3000));
  ASSERT_EQ(second.result, true);
  ASSERT_EQ(surface.digits.size(), 3u);
  EXPECT_EQ(surface.digits[0].value, 3);
  EXPECT_EQ(surface.digits[2].at - start, Milliseconds(2000));
  EXPECT_EQ(surface.shows, 2) << "a new window for every run";
}

TEST_F(CountdownOverlayTest, ACountOfZeroShowsNoDigitAndRunsOutAtOnce) {
  CountdownRun run;
  spawn(runCountdown(overlay, 0, run));
  loop.runUntilIdle();
  ASSERT_EQ(run.result, true);
  EXPECT_TRUE(surface.digits.empty());
  EXPECT_FALSE(surface.visible);
  EXPECT_EQ(escape.removals, 1);
}

TEST_F(CountdownOverlayTest, APressWhileNoCountdownRunsDoesNotCancelTheNextRun) {
  CountdownRun first;
  spawn(runCountdown(overlay, 1, first));
  // An input that kept its callback past the run must not poison the next.
  std::function<void()> stale = escape.cancel;
  loop.advance(Milliseconds(1000));
  ASSERT_EQ(first.result, true);
  stale();
  CountdownRun second;
  spawn(runCountdown(overlay, 1, second));
  loop.advance(Milliseconds(1000));
  EXPECT_EQ(second.result, true);
}

TEST(DigitAnimation, GrowsFromOneToThreeTimesAndFadesFromHalfToNothingEasingOut) {
  DigitAppearance start = digitAppearance(Milliseconds(0));
  EXPECT_DOUBLE_EQ(start.scale, 1.0);
  EXPECT_DOUBLE_EQ(start.opacity, 0.5);
  DigitAppearance end = digitAppearance(Milliseconds(1000));
  EXPECT_DOUBLE_EQ(end.scale, 3.0);
  EXPECT_DOUBLE_EQ(end.opacity, 0.0);
  DigitAppearance after = digitAppearance(Milliseconds(1700));
  EXPECT_DOUBLE_EQ(after.scale, 3.0);
  // Ease-out: more than half of the change has happened at half time.
  DigitAppearance half = digitAppearance(Milliseconds(500));
  EXPECT_GT(half.scale, 2.0);
  EXPECT_LT(half.opacity, 0.25);
  EXPECT_NEAR(easeOut(0.5), 0.684, 0.01);
  double previous = 0;
  for (int i = 1; i <= 20; ++i) {
    double value = easeOut(i / 20.0);
    EXPECT_GT(value, previous);
    previous = value;
  }
}

} // namespace
} // namespace vidorel
