#pragma once

#include <cstdint>

namespace vidorel {

// Places microphone buffers on the movie's audio timeline, which counts
// output samples (48 kHz). A sound card's clock is never exactly the capture
// clock, so where the sample count and the buffer's capture time disagree the
// timeline is pulled back to the capture time: silence fills a gap, and
// samples are cut when the audio runs ahead. Small disagreements are averaged
// first, because buffer time stamps jitter by a few milliseconds and every
// correction is an audible click.
class AudioTimeline {
public:
  static constexpr int kOutputRate = 48000;
  // Disagreements above this are corrected at once (a pause, a stall).
  static constexpr std::int64_t kJumpSamples = kOutputRate / 10; // 100 ms
  // The averaged disagreement that triggers a correction.
  static constexpr std::int64_t kDriftSamples = kOutputRate / 50; // 20 ms

  struct Placement {
    // Samples of silence to write before the buffer.
    std::int64_t silence = 0;
    // Samples to cut from the start of the buffer (after resampling).
    std::int64_t skip = 0;
    // The buffer is wholly before the timeline and must not be written.
    bool discard = false;
  };

  // clockPosition: where the buffer's first sample belongs, in output
  // samples since the start of the movie (negative before the start).
  // length: the buffer's length in output samples.
  Placement place(std::int64_t clockPosition, std::int64_t length);

  // Output samples placed so far, silence included.
  std::int64_t position() const { return position_; }
  // Difference (capture clock minus timeline) seen with the last buffer.
  std::int64_t lastDrift() const { return lastDrift_; }
  int corrections() const { return corrections_; }

private:
  Placement correct(std::int64_t drift, std::int64_t length);

  std::int64_t position_ = 0;
  std::int64_t lastDrift_ = 0;
  double averageDrift_ = 0;
  bool started_ = false;
  int corrections_ = 0;
};

} // namespace vidorel
