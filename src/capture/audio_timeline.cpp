#include "capture/audio_timeline.h"

#include <cstdlib>

namespace vidorel {

AudioTimeline::Placement AudioTimeline::place(std::int64_t clockPosition, std::int64_t length) {
  std::int64_t drift = clockPosition - position_;
  lastDrift_ = drift;
  if (!started_) {
    // The first buffer is aligned exactly: audio begins with the first frame.
    Placement placement = correct(drift, length);
    started_ = !placement.discard;
    return placement;
  }
  if (std::llabs(drift) > kJumpSamples) {
    ++corrections_;
    return correct(drift, length);
  }
  position_ += length;
  return {};
}

AudioTimeline::Placement AudioTimeline::correct(std::int64_t drift, std::int64_t length) {
  Placement placement;
  if (drift >= 0) {
    placement.silence = drift;
    position_ += drift + length;
    return placement;
  }
  if (-drift >= length) {
    // Entirely already covered; the timeline stays where it is.
    placement.discard = true;
    placement.skip = length;
    return placement;
  }
  placement.skip = -drift;
  position_ += length + drift;
  return placement;
}

} // namespace vidorel
