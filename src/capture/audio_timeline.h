#pragma once

#include <cstdint>

namespace vidorel {

// Places microphone buffers on the movie's audio timeline, which counts
// output samples (48 kHz). Buffers normally follow one another: the
// microphone keeps its sample count in step with the capture clock by
// resampling (AudioClock), so small disagreements between a buffer's
// capture time and the count are time-stamp jitter and are left alone. Only
// a jump (a pause, a stall, a hole in the stream) is corrected at once:
// silence fills a gap, and samples already covered are cut.
class AudioTimeline {
public:
  static constexpr int kOutputRate = 48000;
  // Disagreements above this are corrected at once (a pause, a stall).
  static constexpr std::int64_t kJumpSamples = kOutputRate / 10; // 100 ms

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
  bool started_ = false;
  int corrections_ = 0;
};

} // namespace vidorel
