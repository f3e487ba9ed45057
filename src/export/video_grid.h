#pragma once

// Keeps a movie's video at a constant 60 frames a second while takes are
// joined: each sample goes on the nearest free tick of a 1/60 s grid, and
// the ticks between two samples repeat the earlier picture as skip frames
// (capture/h264_skip_frame.h). Takes recorded at a constant rate pass
// unchanged; takes of versions that wrote a frame only when the screen
// changed become constant-rate without re-encoding. A take whose stream
// skip frames cannot be added to (not one of our encoder's) keeps its own
// times, its re-encoded frames as well, so its segment plays as it did.

#include "capture/avc_config.h"
#include "capture/h264_skip_frame.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace vidorel {

class VideoGrid {
public:
  // One frame in the movie's video timescale (1/90000 s).
  static constexpr std::int64_t kFrame = 1500;

  struct Repeat {
    std::int64_t time = 0; // composition (and decode) time
    Bytes sample;          // length-prefixed
  };

  // A segment of a take with this avcC starts (an empty one: a take without
  // video, shown as re-encoded black).
  void beginSegment(const Bytes& takeConfig);

  // For the next sample in decode order, of the description whose avcC is
  // config, to be shown at time: adds to repeats the skip frames of the
  // ticks since the last sample (of the description before it), sets
  // rewritten to the sample's new bytes when its frame_num had to move on
  // (left empty otherwise), and returns the time to show it at.
  std::int64_t place(std::int64_t time, std::uint32_t description, const Bytes& config,
                     const std::uint8_t* data, std::size_t size, Bytes& rewritten,
                     std::vector<Repeat>& repeats);
  // Skip frames on the ticks after the last sample, up to end (exclusive).
  void fillTo(std::int64_t end, std::vector<Repeat>& repeats);

private:
  bool ownTimes_ = false;
  std::optional<SkipFrames> skips_;
  std::uint32_t description_ = 0;
  int lengthSize_ = 4;
  std::optional<std::int64_t> lastTick_;
};

} // namespace vidorel
