#include "capture/audio_clock.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace vidorel {

namespace {
constexpr CaptureTime kSecond = 1'000'000'000;
}

CaptureTime AudioClock::countTime() const {
  return anchor_ + frames_ * kSecond / rate_;
}

int AudioClock::compensation(int frames) {
  if (frames <= 0)
    return 0;
  double exact = frames * compensation_ + carry_;
  int whole = static_cast<int>(exact);
  carry_ = exact - whole;
  return whole;
}

// At the end of each window: how far the count is from the capture clock
// (error > 0: the count is behind, the card is slow), the card's own rate
// error from how that changed, and the correction that follows it and
// works the error off.
void AudioClock::measure(CaptureTime arrival) {
  CaptureTime elapsed = arrival - windowStart_;
  if (!haveBaseline_) {
    baseline_ = windowMinimum_;
    haveBaseline_ = true;
    lastError_ = 0;
    return;
  }
  CaptureTime error = windowMinimum_ - baseline_;
  double measured =
      static_cast<double>(error - lastError_) / static_cast<double>(elapsed) + compensation_;
  // Delays jitter by a millisecond or so from window to window: the rate
  // estimate is smoothed so the pitch does not wander with them.
  drift_ += (measured - drift_) / 4.0;
  double next = drift_ + static_cast<double>(error) / static_cast<double>(kDrain);
  compensation_ = std::clamp(next, -kMaxCompensation, kMaxCompensation);
  lastError_ = error;
  ++adjustments_;
}

CaptureTime AudioClock::stamp(CaptureTime arrival, int frames, int sampleRate,
                              CaptureTime latencyHint) {
  if (sampleRate <= 0 || frames < 0)
    return arrival;
  CaptureTime duration = static_cast<CaptureTime>(frames) * kSecond / sampleRate;
  if (!started_ || sampleRate != rate_) {
    started_ = true;
    rate_ = sampleRate;
    frames_ = 0;
    anchor_ = arrival - duration - std::max<CaptureTime>(latencyHint, 0);
    windowStart_ = arrival;
    windowMinimum_ = arrival - anchor_ - duration;
    haveBaseline_ = false;
    drift_ = 0;
    compensation_ = 0;
    carry_ = 0;
  }
  CaptureTime start = countTime();
  CaptureTime end = start + duration;
  // Until the first window is measured, a buffer that would end after it
  // arrived shows the anchor was placed late (the latency hint was too
  // large): it moves back at once. Later, the count running ahead is drift,
  // corrected by resampling.
  if (!haveBaseline_ && end > arrival) {
    anchor_ -= end - arrival;
    start -= end - arrival;
    end = arrival;
    ++adjustments_;
  }
  CaptureTime delay = arrival - end;
  windowMinimum_ = std::min(windowMinimum_, delay);
  if (arrival - windowStart_ >= kWindow) {
    measure(arrival);
    windowStart_ = arrival;
    windowMinimum_ = delay;
  }
  frames_ += frames;
  return start;
}

} // namespace vidorel
