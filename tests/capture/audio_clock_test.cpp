#include "capture/audio_clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

namespace vidorel {
namespace {

constexpr CaptureTime kMs = 1'000'000;
constexpr CaptureTime kOrigin = 1000 * kMs;

// Two seconds of sound in 160 ms pieces, all read at the same moment at the
// end of each two-second block, without a latency hint: no piece may end
// after it arrived.
TEST(AudioClockTest, BurstsKeepContinuousStampsThatNeverEndAfterTheirArrival) {
  AudioClock clock;
  CaptureTime previousEnd = 0;
  for (int block = 0; block < 5; ++block) {
    CaptureTime arrival = kOrigin + (block + 1) * 2000 * kMs;
    for (int piece = 0; piece < 12; ++piece) {
      int frames = piece < 11 ? 7680 : 96000 - 11 * 7680;
      CaptureTime stamp = clock.stamp(arrival, frames, 48000);
      // Within the first burst the clock cannot know yet how long bursts
      // are; from then on the stamps run on without a jump.
      if (block > 0) {
        EXPECT_NEAR(static_cast<double>(stamp - previousEnd), 0.0, 1.0 * kMs);
      }
      previousEnd = stamp + static_cast<CaptureTime>(frames) * 1'000'000'000 / 48000;
      EXPECT_LE(previousEnd, arrival);
    }
  }
}

// A card running 0.3 % slow or fast for ten minutes, resampled as the clock
// asks: the stamps stay within a few milliseconds of the real capture time,
// the correction settles at the card's error and is never more than 1 %.
TEST(AudioClockTest, DriftingCardsAreFollowed) {
  for (double rateError : {0.003, -0.003}) {
    AudioClock clock;
    double worst = 0;
    double worstLate = 0;
    double strongest = 0;
    for (int i = 0; i < 60000; ++i) {
      // The true capture time of fragment i (480 card samples, nominally 10 ms).
      double trueStart = kOrigin + i * 10.0 * kMs * (1.0 + rateError);
      double trueEnd = trueStart + 10.0 * kMs * (1.0 + rateError);
      CaptureTime arrival = static_cast<CaptureTime>(trueEnd) + 8 * kMs + (i % 3) * kMs;
      int delivered = 480 + clock.compensation(480);
      CaptureTime stamp = clock.stamp(arrival, delivered, 48000, 8 * kMs);
      double error = std::fabs(static_cast<double>(stamp) - trueStart);
      worst = std::max(worst, error);
      if (i > 30000)
        worstLate = std::max(worstLate, error);
      strongest = std::max(strongest, std::fabs(clock.correction()));
    }
    EXPECT_LT(worst, 15.0 * kMs) << rateError;
    EXPECT_LT(worstLate, 4.0 * kMs) << rateError;
    EXPECT_NEAR(clock.correction(), rateError, 0.0005);
    EXPECT_LE(strongest, AudioClock::kMaxCompensation);
  }
}

TEST(AudioClockTest, ASteadySourceIsStampedByItsSampleCountAndNotResampled) {
  AudioClock clock;
  int added = 0;
  // 10 ms fragments arriving 5 ms after their last sample, with up to 4 ms
  // of scheduling noise.
  for (int i = 0; i < 6000; ++i) {
    CaptureTime end = kOrigin + (i + 1) * 10 * kMs;
    int delivered = 480 + clock.compensation(480);
    added += delivered - 480;
    CaptureTime stamp = clock.stamp(end + 5 * kMs + (i % 5) * kMs, delivered, 48000, 5 * kMs);
    ASSERT_NEAR(static_cast<double>(stamp - (end - 10 * kMs)), 0.0, 3.0 * kMs) << i;
  }
  // Jitter alone moves the correction by next to nothing.
  EXPECT_LT(std::abs(added), 48);
  EXPECT_LT(std::fabs(clock.correction()), 0.0005);
}

} // namespace
} // namespace vidorel
