#pragma once

#include "capture/capture_types.h"

namespace vidorel {

// Stamps microphone buffers on the capture clock and keeps their sample
// count in step with it. Audio servers deliver in bursts (a fragment every
// few milliseconds from a real card, seconds at a time from some virtual
// sources), so the arrival time alone jitters by the burst length. The
// stamps follow the sample count instead, anchored at the first buffer.
// A sound card's clock is never exactly the capture clock: the smallest
// delay between a buffer's end and its arrival, measured over a window,
// moves against the first window's as the two drift apart. That is
// corrected by resampling gently (compensation() tells the source how many
// samples to add or drop while resampling the next buffer), never by
// jumping: a jump in the stamps is a cut or a gap of silence in the take.
class AudioClock {
public:
  static constexpr CaptureTime kWindow = 1'000'000'000;
  // The offset left is worked off over this time.
  static constexpr CaptureTime kDrain = 4'000'000'000;
  // The strongest correction, 1 %: a pitch change nobody hears.
  static constexpr double kMaxCompensation = 0.01;

  // Samples to add (positive) or drop (negative) while resampling the next
  // buffer of frames samples. The buffer is then stamped with its length
  // after resampling.
  int compensation(int frames);

  // arrival: when the buffer was read; frames: its length as delivered;
  // latencyHint: what the server says the first sample's age is beyond the
  // buffer itself (used for the anchor only). Returns the capture time of
  // the buffer's first sample.
  CaptureTime stamp(CaptureTime arrival, int frames, int sampleRate, CaptureTime latencyHint = 0);

  // The correction now applied, as a fraction of the sample rate.
  double correction() const { return compensation_; }
  // Times the anchor moved back (a buffer that would have ended after it
  // arrived) or the correction was set anew.
  int adjustments() const { return adjustments_; }

private:
  CaptureTime countTime() const;
  void measure(CaptureTime arrival);

  bool started_ = false;
  int rate_ = 0;
  CaptureTime anchor_ = 0;
  std::int64_t frames_ = 0;
  CaptureTime windowStart_ = 0;
  CaptureTime windowMinimum_ = 0;
  bool haveBaseline_ = false;
  CaptureTime baseline_ = 0;
  CaptureTime lastError_ = 0;
  double drift_ = 0;
  double compensation_ = 0;
  double carry_ = 0;
  int adjustments_ = 0;
};

} // namespace vidorel
