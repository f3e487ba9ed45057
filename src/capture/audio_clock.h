#pragma once

#include "capture/capture_types.h"

namespace vidorel {

// Stamps microphone buffers on the capture clock. Audio servers deliver in
// bursts (a fragment every few milliseconds from a real card, seconds at a
// time from some virtual sources), so the arrival time alone jitters by the
// burst length. The stamps follow the sample count instead, anchored at the
// first buffer, and the anchor is moved only when the count and the arrival
// times disagree for good:
// - a buffer cannot end after it arrived (the card runs fast, or the anchor
//   was late): the anchor moves back at once;
// - the smallest delay between a buffer's end and its arrival, measured over
//   a window, changes against the first window's (the card runs slow or
//   fast): the anchor moves by the change.
class AudioClock {
public:
  static constexpr CaptureTime kWindow = 4'000'000'000;
  static constexpr CaptureTime kTolerance = 10'000'000;

  // arrival: when the buffer was read; latencyHint: what the server says
  // the first sample's age is beyond the buffer itself (used for the anchor
  // only). Returns the capture time of the buffer's first sample.
  CaptureTime stamp(CaptureTime arrival, int frames, int sampleRate, CaptureTime latencyHint = 0);

  int adjustments() const { return adjustments_; }

private:
  CaptureTime countTime() const;

  bool started_ = false;
  int rate_ = 0;
  CaptureTime anchor_ = 0;
  std::int64_t frames_ = 0;
  CaptureTime windowStart_ = 0;
  CaptureTime windowMinimum_ = 0;
  bool haveBaseline_ = false;
  CaptureTime baseline_ = 0;
  int adjustments_ = 0;
};

} // namespace vidorel
