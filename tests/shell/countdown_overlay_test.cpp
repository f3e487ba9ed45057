#include "shell/countdown_overlay.h"

#include "base/virtual_main_loop.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace vidorel {
namespace {

// Writes down what the overlay window does, with the virtual time of each
// step ("show@0 3@0 2@1000 hide@1500 ").
class RecordingSurface final : public CountdownSurface {
public:
  explicit RecordingSurface(VirtualMainLoop& loop) : loop_(loop) {}
  void show() override { step("show"); }
  void showDigit(int value) override { step(std::to_string(value)); }
  void hide() override { step("hide"); }
  void step(const std::string& what) {
    shown += what + "@" + std::to_string(loop_.now().count()) + " ";
  }
  VirtualMainLoop& loop_;
  std::string shown;
};

class ManualInput final : public CountdownCancelInput {
public:
  void install(std::function<void()> fn) override { cancel = std::move(fn); }
  void remove() override { cancel = nullptr; }
  std::function<void()> cancel;
};

// An overlay on the virtual clock; each count's answer lands in result.
struct Rig {
  void start(int from) {
    result.reset();
    spawn([](CountdownOverlay& overlay, int from, std::optional<bool>& result) -> Task<void> {
      result = co_await overlay.run(from);
    }(overlay, from, result));
  }

  VirtualMainLoop loop;
  RecordingSurface surface{loop};
  ManualInput escape;
  ManualInput hotKeys;
  CountdownOverlay overlay{loop, surface, {&escape, &hotKeys}};
  std::optional<bool> result;
};

TEST(CountdownOverlay, RunsOutAfterThreeSecondsShowingEachDigitForOneSecond) {
  Rig rig;
  rig.start(3);
  EXPECT_TRUE(rig.overlay.isRunning());
  EXPECT_TRUE(rig.escape.cancel && rig.hotKeys.cancel);
  std::function<void()> stale = rig.escape.cancel;
  rig.loop.advance(Milliseconds(2999));
  EXPECT_FALSE(rig.result.has_value());
  rig.loop.advance(Milliseconds(1));
  rig.loop.runUntilIdle();
  EXPECT_EQ(rig.result, true);
  EXPECT_EQ(rig.surface.shown, "show@0 3@0 2@1000 1@2000 hide@3000 ");
  EXPECT_FALSE(rig.escape.cancel || rig.hotKeys.cancel) << "the inputs are gone";
  EXPECT_FALSE(rig.overlay.isRunning());

  // A count of zero shows no digit and runs out at once; a cancel between
  // counts, or a press through a callback kept past its run, does not spoil
  // the next count, which shows in full in a new window.
  rig.surface.shown.clear();
  rig.start(0);
  rig.loop.runUntilIdle();
  EXPECT_EQ(rig.result, true);
  stale();
  rig.overlay.cancel();
  rig.start(1);
  rig.loop.advance(Milliseconds(1000));
  EXPECT_EQ(rig.result, true);
  EXPECT_EQ(rig.surface.shown, "show@3000 hide@3000 show@3000 1@3000 hide@4000 ");
}

// Escape, any hot key and the program itself (a session closed during its
// countdown) cancel within the running tenth, up to the count's last tenth.
TEST(CountdownOverlay, EveryInputCancelsWithinATenthAndRemovesEverything) {
  struct Case {
    const char* input;
    int at;
    const char* shown;
  };
  for (Case c : {Case{"escape", 1450, "show@0 3@0 2@1000 hide@1500 "},
                 Case{"hot key", 300, "show@0 3@0 hide@400 "},
                 Case{"escape", 2950, "show@0 3@0 2@1000 1@2000 hide@3000 "},
                 Case{"program", 1000, "show@0 3@0 2@1000 hide@1100 "}}) {
    SCOPED_TRACE(c.input + std::to_string(c.at));
    Rig rig;
    rig.start(3);
    rig.loop.advance(Milliseconds(c.at));
    if (c.input == std::string("program"))
      rig.overlay.cancel();
    else
      (c.input == std::string("escape") ? rig.escape : rig.hotKeys).cancel();
    rig.loop.advance(Milliseconds(100));
    EXPECT_EQ(rig.result, false);
    EXPECT_EQ(rig.surface.shown, c.shown);
    EXPECT_FALSE(rig.escape.cancel || rig.hotKeys.cancel) << "the inputs are gone";
  }
}

} // namespace
} // namespace vidorel
