#include "capture/audio_clock.h"

#include <algorithm>
#include <cstdlib>

namespace vidorel {

namespace {
constexpr CaptureTime kSecond = 1'000'000'000;
}

CaptureTime AudioClock::countTime() const {
  return anchor_ + frames_ * kSecond / rate_;
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
  }
  CaptureTime start = countTime();
  CaptureTime end = start + duration;
  if (end > arrival) {
    anchor_ -= end - arrival;
    start -= end - arrival;
    end = arrival;
    ++adjustments_;
  }
  CaptureTime delay = arrival - end;
  windowMinimum_ = std::min(windowMinimum_, delay);
  if (arrival - windowStart_ >= kWindow) {
    if (!haveBaseline_) {
      baseline_ = windowMinimum_;
      haveBaseline_ = true;
    } else if (std::llabs(windowMinimum_ - baseline_) > kTolerance) {
      // Later buffers move; this one keeps its stamp.
      anchor_ += windowMinimum_ - baseline_;
      ++adjustments_;
    }
    windowStart_ = arrival;
    windowMinimum_ = delay;
  }
  frames_ += frames;
  return start;
}

} // namespace vidorel
