#include "shell/countdown_overlay.h"

#include <algorithm>
#include <cmath>

namespace vidorel {

CountdownOverlay::CountdownOverlay(MainLoop& loop, CountdownSurface& surface,
                                   std::vector<CountdownCancelInput*> inputs)
    : loop_(loop), surface_(surface), inputs_(std::move(inputs)) {}

Task<bool> CountdownOverlay::run(int from) {
  cancelled_ = false;
  running_ = true;
  surface_.show();
  for (CountdownCancelInput* input : inputs_)
    input->install([this] { cancel(); });

  for (int k = from; k >= 1; --k) {
    if (cancelled_) {
      tearDown();
      co_return false;
    }
    value_ = k;
    surface_.showDigit(k);
    for (int tick = 0; tick < kTicksPerDigit; ++tick) {
      if (cancelled_) {
        tearDown();
        co_return false;
      }
      co_await sleepFor(loop_, kTick);
    }
  }
  tearDown();
  co_return !cancelled_;
}

void CountdownOverlay::tearDown() {
  for (CountdownCancelInput* input : inputs_)
    input->remove();
  surface_.hide();
  running_ = false;
}

double easeOut(double t) {
  if (t <= 0)
    return 0;
  if (t >= 1)
    return 1;
  // x(s) = 3(1-s)^2 s x1 + 3(1-s) s^2 x2 + s^3 with x1 = 0, x2 = 0.58, and
  // the same for y with y1 = 0, y2 = 1. Solve x(s) = t by bisection (x is
  // monotonic), then read y(s).
  const double x2 = 0.58;
  const double y2 = 1.0;
  auto bezier = [](double s, double c2) { return 3 * (1 - s) * s * s * c2 + s * s * s; };
  double low = 0;
  double high = 1;
  for (int i = 0; i < 60; ++i) {
    double mid = (low + high) / 2;
    if (bezier(mid, x2) < t)
      low = mid;
    else
      high = mid;
  }
  double s = (low + high) / 2;
  return bezier(s, y2);
}

DigitAppearance digitAppearance(Milliseconds elapsed) {
  double t =
      static_cast<double>(elapsed.count()) / static_cast<double>(kDigitAnimationLength.count());
  double p = easeOut(std::clamp(t, 0.0, 1.0));
  DigitAppearance look;
  look.scale = 1.0 + 2.0 * p;
  look.opacity = 0.5 * (1.0 - p);
  return look;
}

} // namespace vidorel
