#pragma once

// Edit-list arithmetic for joining trimmed takes: every segment of the
// movie becomes edits of exactly its trimmed length in each track, so the
// tracks stay in step whatever media each take has.

#include "export/quicktime_writer.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace vidorel {

// Trim points (seconds) in the movie timescale, rounded to the nearest tick.
std::int64_t toMovieTime(double seconds);
// Movie time to a media timescale, rounded to the nearest unit.
std::int64_t movieToMedia(std::int64_t movieTime, std::uint32_t mediaTimescale);

// The media one take contributes to one track, in that track's media
// timescale: the part of the take's timeline that the copied samples can
// show, and where take time zero falls in the track's media.
struct SegmentMedia {
  std::int64_t availableStart = 0; // take time
  std::int64_t availableEnd = 0;   // take time
  std::int64_t mediaOffset = 0;    // track media time = take time + mediaOffset
};

// Appends the edits that show take time [start, end) (movie timescale) of
// one segment: one edit into the segment's media, with empty edits for any
// part the media does not cover (all of it when there is no media).
// Neighbouring empty edits are merged. Nothing is appended for an empty
// range.
void appendSegmentEdits(std::vector<MovieEdit>& edits, std::int64_t start, std::int64_t end,
                        const std::optional<SegmentMedia>& media, std::uint32_t mediaTimescale);

} // namespace vidorel
