#include "export/segment_edits.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {

TEST(SegmentEditsTest, ConvertsTrimPointsToTicksAndMediaUnits) {
  EXPECT_EQ(toMovieTime(1.0), 600);
  EXPECT_EQ(toMovieTime(0.25), 150);
  EXPECT_EQ(toMovieTime(12.754), 7652);
  // 0.41 s times 600 is a hair below 246 in binary: rounded, not cut.
  EXPECT_EQ(toMovieTime(0.41), 246);
  // Trims land on the nearest 1/60 s frame boundary (10 ticks).
  EXPECT_EQ(toFrameBoundary(0.26), 160);
  EXPECT_EQ(toFrameBoundary(0.254), 150);
  EXPECT_EQ(toFrameBoundary(2.0 / 60 - 1e-9), 20);
  EXPECT_EQ(movieToMedia(150, 12288), 3072);
  EXPECT_EQ(movieToMedia(600, 48000), 48000);
  // 1/600 s is 20.48 units of a 12288 timescale: rounded to the nearest.
  EXPECT_EQ(movieToMedia(1, 12288), 20);
  EXPECT_EQ(movieToMedia(3, 12288), 61);
}

TEST(SegmentEditsTest, SoundPacketsOfASegmentRunBetweenTheNearestGridPoints) {
  // AAC packets at 48 kHz are 1920 ticks of 1/90000 s.
  EXPECT_EQ(packetRunFor(0, 90000, 1920), (PacketRun{0, 47}));
  // 2.5 s starts 0.2 packets after grid point 117; 4 s ends 0.5 before 188.
  EXPECT_EQ(packetRunFor(225000, 360000, 1920), (PacketRun{117, 71}));
  // A segment shorter than half a packet may own none.
  EXPECT_EQ(packetRunFor(1000, 1500, 1920), (PacketRun{1, 0}));
  EXPECT_EQ(packetRunFor(0, 0, 1920), (PacketRun{0, 0}));
}

TEST(SegmentEditsTest, JoinsNeverDriftByMoreThanHalfAPacket) {
  // Many segments of a length that is no whole number of packets: each
  // starts where the one before ended, within half a packet of its cut.
  std::int64_t cut = 0;
  std::int64_t next = 0;
  for (int segment = 0; segment < 500; ++segment) {
    std::int64_t length = 3750 * 7 + 150 * (segment % 5); // frames of 1/24 s and a bit
    PacketRun run = packetRunFor(cut, cut + length, 1920);
    ASSERT_EQ(run.first, next) << segment;
    EXPECT_LE(std::llabs(run.first * 1920 - cut), 960) << segment;
    next = run.first + run.count;
    cut += length;
  }
}

TEST(SegmentEditsTest, DecodeTimesFollowTheSourceReorderingWithinTheOrderOfDecoding) {
  // The first sample decodes at zero whatever its reordering.
  EXPECT_EQ(decodeTimeFor(0, 6000, std::nullopt), 0);
  // B-frames after a key frame at 0: squeezed in just after it until the
  // source's own delay fits.
  EXPECT_EQ(decodeTimeFor(9000, 12000, 0), 1);
  EXPECT_EQ(decodeTimeFor(3000, 3000, 1), 2);
  EXPECT_EQ(decodeTimeFor(6000, 3000, 2), 3000);
  // Without reordering a sample decodes when it is shown.
  EXPECT_EQ(decodeTimeFor(12000, 0, 3000), 12000);
  // No decode time after the previous one and not after the composition
  // time: refused.
  EXPECT_EQ(decodeTimeFor(3000, 0, 3000), std::nullopt);
}

} // namespace
} // namespace vidorel
