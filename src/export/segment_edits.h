#pragma once

// Timing arithmetic for joining trimmed takes into one movie whose tracks
// are plain runs of samples (no edit lists): where each segment's sound
// packets fall, and the decode time of each video sample.

#include <cstdint>
#include <optional>

namespace vidorel {

// Trim points (seconds) in the movie timescale (1/600 s), rounded to the
// nearest tick.
std::int64_t toMovieTime(double seconds);
// Trim points (seconds) in the movie timescale, on the nearest boundary of
// a frame of the constant rate (1/60 s).
std::int64_t toFrameBoundary(double seconds);
// Movie time to a media timescale, rounded to the nearest unit.
std::int64_t movieToMedia(std::int64_t movieTime, std::uint32_t mediaTimescale);

// The packets of the movie's sound track that belong to one segment: the
// track is a gapless run of packets of packetLength each, and a segment
// [start, end) owns those from the grid point nearest to its start to the
// one nearest to its end. So the sound is never more than half a packet
// from the picture at a join, and the error does not add up over joins.
struct PacketRun {
  std::int64_t first = 0;
  std::int64_t count = 0;

  bool operator==(const PacketRun&) const = default;
};
PacketRun packetRunFor(std::int64_t start, std::int64_t end, std::int64_t packetLength);

// The decode time of the next video sample, shown at compositionTime,
// which its source decoded reorder earlier than it showed it: as close to
// that as the samples before allow (strictly after previous, the decode
// time of the sample before; the first sample decodes at zero), and never
// after compositionTime, so that composition offsets stay non-negative.
// Nothing when no decode time fits.
std::optional<std::int64_t> decodeTimeFor(std::int64_t compositionTime, std::int64_t reorder,
                                          std::optional<std::int64_t> previous);

} // namespace vidorel
