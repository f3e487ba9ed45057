#include "capture/audio_timeline.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {

constexpr std::int64_t kBuffer = 480; // 10 ms

TEST(AudioTimelineTest, FirstBufferIsAlignedExactlyAndEarlierOnesDiscarded) {
  AudioTimeline late;
  AudioTimeline::Placement placement = late.place(300, kBuffer);
  EXPECT_EQ(placement.silence, 300);
  EXPECT_EQ(late.position(), 300 + kBuffer);

  AudioTimeline early;
  placement = early.place(-100, kBuffer);
  EXPECT_EQ(placement.skip, 100);
  EXPECT_EQ(early.position(), kBuffer - 100);

  // Buffers wholly before the start are discarded; the next one is still
  // aligned as the first.
  AudioTimeline before;
  EXPECT_TRUE(before.place(-2 * kBuffer, kBuffer).discard);
  EXPECT_EQ(before.position(), 0);
  placement = before.place(-kBuffer / 2, kBuffer);
  EXPECT_FALSE(placement.discard);
  EXPECT_EQ(placement.skip, kBuffer / 2);
}

// Jitter (+-3 ms of time-stamp noise around an exact clock) and
// disagreements that build up slowly (a card whose count the microphone has
// not yet brought back in step, up to 80 ms after 2000 buffers) are never
// cut or filled: every cut is a click, and the microphone corrects drift by
// resampling.
TEST(AudioTimelineTest, JitterAndSlowDisagreementAreNeitherCutNorFilled) {
  for (std::int64_t step : {0, +2, -2}) {
    AudioTimeline timeline;
    for (int i = 0; i < 2000; ++i) {
      std::int64_t noise = step == 0 ? ((i + 3) % 7 - 3) * 48 : 0;
      AudioTimeline::Placement placement = timeline.place(i * (kBuffer + step) + noise, kBuffer);
      if (i > 0) {
        ASSERT_EQ(placement.silence, 0) << step << " " << i;
        ASSERT_EQ(placement.skip, 0) << step << " " << i;
      }
    }
    EXPECT_EQ(timeline.corrections(), 0);
    EXPECT_EQ(timeline.position(), 2000 * kBuffer);
  }
}

TEST(AudioTimelineTest, LargeGapIsFilledAtOnceAndOverlapCut) {
  AudioTimeline timeline;
  timeline.place(0, kBuffer);
  AudioTimeline::Placement placement = timeline.place(kBuffer + 48000, kBuffer);
  EXPECT_EQ(placement.silence, 48000);
  EXPECT_EQ(timeline.position(), 2 * kBuffer + 48000);
  // A burst of old buffers a whole second behind the timeline is cut.
  EXPECT_TRUE(timeline.place(2 * kBuffer, kBuffer).discard);
  EXPECT_EQ(timeline.position(), 2 * kBuffer + 48000);
}

} // namespace
} // namespace vidorel
