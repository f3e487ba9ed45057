#include "export/segment_edits.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {

using Edits = std::vector<MovieEdit>;

TEST(SegmentEditsTest, ConvertsTrimPointsToTicksAndMediaUnits) {
  EXPECT_EQ(toMovieTime(1.0), 600);
  EXPECT_EQ(toMovieTime(0.25), 150);
  EXPECT_EQ(toMovieTime(12.754), 7652);
  EXPECT_EQ(movieToMedia(150, 12288), 3072);
  EXPECT_EQ(movieToMedia(600, 48000), 48000);
  // 1/600 s is 20.48 units of a 12288 timescale: rounded to the nearest.
  EXPECT_EQ(movieToMedia(1, 12288), 20);
  EXPECT_EQ(movieToMedia(3, 12288), 61);
}

TEST(SegmentEditsTest, OneEditShowsExactlyTheTrimmedRange) {
  Edits edits;
  // Take time 1.0 s..3.5 s; samples copied from 0 s; media of this segment
  // starts at 5000 in a 48 kHz track.
  appendSegmentEdits(edits, 600, 2100, SegmentMedia{0, 4 * 48000, 5000}, 48000);
  EXPECT_EQ(edits, (Edits{{1500, 48000 + 5000}}));
}

TEST(SegmentEditsTest, MissingMediaBecomesMergedEmptyEdits) {
  Edits edits;
  appendSegmentEdits(edits, 0, 600, std::nullopt, 48000);
  appendSegmentEdits(edits, 300, 900, std::nullopt, 48000);
  appendSegmentEdits(edits, 0, 0, std::nullopt, 48000);
  appendSegmentEdits(edits, 600, 300, SegmentMedia{0, 48000, 0}, 48000);
  EXPECT_EQ(edits, (Edits{{1200, -1}}));
}

TEST(SegmentEditsTest, MediaShorterThanTheRangeIsPaddedWithGaps) {
  Edits edits;
  // Audio begins 0.1 s into the take and ends at 1.9 s; the range is 0..2 s.
  appendSegmentEdits(edits, 0, 1200, SegmentMedia{4800, 91200, 100}, 48000);
  EXPECT_EQ(edits, (Edits{{60, -1}, {1080, 4800 + 100}, {60, -1}}));
}

TEST(SegmentEditsTest, NeverShowsBeyondTheSegmentsMedia) {
  Edits edits;
  // Media ends at 12300 units of 12288 (just past 1 s): the edit stops at
  // the last whole tick inside it rather than rounding outwards.
  appendSegmentEdits(edits, 0, 1200, SegmentMedia{10, 12300, 0}, 12288);
  ASSERT_EQ(edits.size(), 3u);
  EXPECT_EQ(edits[0], (MovieEdit{1, -1}));
  EXPECT_GE(edits[1].mediaTime, 10);
  EXPECT_LE(movieToMedia(1 + edits[1].duration, 12288), 12300);
  EXPECT_EQ(edits[1].duration + edits[2].duration, 1199);
}

TEST(SegmentEditsTest, MediaOutsideTheRangeLeavesOnlyAGap) {
  Edits edits;
  appendSegmentEdits(edits, 0, 600, SegmentMedia{48000, 96000, 0}, 48000);
  EXPECT_EQ(edits, (Edits{{600, -1}}));
}

} // namespace
} // namespace vidorel
