#pragma once

#include "base/main_loop.h"
#include "base/task.h"

#include <functional>
#include <vector>

namespace vidorel {

// The full-screen layer the digits are drawn on.
class CountdownSurface {
public:
  virtual ~CountdownSurface() = default;
  // Makes a new window above everything, without activating the program.
  virtual void show() = 0;
  // Replaces the digit on show; each new digit starts its own animation.
  virtual void showDigit(int value) = 0;
  // Orders the window out and drops it.
  virtual void hide() = 0;
};

// One way for the user to cancel a running countdown: the global Escape
// grab, the program's own key events, or any global hot key.
class CountdownCancelInput {
public:
  virtual ~CountdownCancelInput() = default;
  // From now until remove(), a press calls cancel on the main loop.
  virtual void install(std::function<void()> cancel) = 0;
  virtual void remove() = 0;
};

// The countdown before each take: digits n down to 1, each for ten tenths
// of a second, cancelled within a tenth by any of its inputs.
class CountdownOverlay {
public:
  static constexpr int kTicksPerDigit = 10;
  static constexpr Milliseconds kTick{100};

  CountdownOverlay(MainLoop& loop, CountdownSurface& surface,
                   std::vector<CountdownCancelInput*> inputs);
  CountdownOverlay(const CountdownOverlay&) = delete;
  CountdownOverlay& operator=(const CountdownOverlay&) = delete;

  // True when the count ran out, false when it was cancelled.
  Task<bool> run(int from);

  // Ends a running count within a tick, as the user's inputs do; run()
  // then answers false. Does nothing between counts.
  void cancel() {
    if (running_)
      cancelled_ = true;
  }

  bool isRunning() const { return running_; }
  // The digit last shown (0 before the first run).
  int value() const { return value_; }

private:
  void tearDown();

  MainLoop& loop_;
  CountdownSurface& surface_;
  std::vector<CountdownCancelInput*> inputs_;
  int value_ = 0;
  bool cancelled_ = false;
  bool running_ = false;
};

// How a digit looks at a point of its one-second grow-and-fade: it starts
// at its own size and half opacity and ends three times as large and
// invisible, easing out.
struct DigitAppearance {
  double scale = 1.0;
  double opacity = 0.5;
};

inline constexpr Milliseconds kDigitAnimationLength{1000};

// elapsed since the digit appeared; clamped to the animation's length.
DigitAppearance digitAppearance(Milliseconds elapsed);

// The ease-out timing curve, a cubic Bézier with control points (0, 0) and
// (0.58, 1): progress for a fraction t of the time.
double easeOut(double t);

} // namespace vidorel
