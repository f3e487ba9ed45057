#include "export/chapters.h"
#include "export/loudness.h"

#include "fakes/session_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace vidorel {
namespace {
using testing::SessionBuilder;

TEST(Chapters, OneLinePerExportedSceneWhereItStartsInTheMovie) {
  SessionBuilder builder;
  int intro = builder.scene("Intro");
  int skipped = builder.scene();
  int third = builder.scene();
  builder.select(intro, builder.take(intro, 1.5, 4.0));
  builder.take(skipped, 0, 30);
  builder.select(third, builder.take(third, 0, 3600.4));
  EXPECT_EQ(chapterTitles(builder.build()), (std::vector<std::string>{"Intro", "Scene 3"}));
  EXPECT_EQ(chapterList(movieChapters(builder.build())), "0:00 Intro\n0:02 Scene 3\n");
  for (auto [seconds, text] : {std::pair{0.0, "0:00"},
                               {59.9, "0:59"},
                               {75.2, "1:15"},
                               {3599.9, "59:59"},
                               {3600.0, "1:00:00"},
                               {36061.5, "10:01:01"}})
    EXPECT_EQ(chapterTime(seconds), text) << seconds;
}

TEST(Loudness, SceneGainReachesTheTargetAndLeavesSilenceAlone) {
  EXPECT_NEAR(20 * std::log10(sceneGain(-29)), 13, 1e-9);
  EXPECT_NEAR(20 * std::log10(sceneGain(-6.5)), -9.5, 1e-9);
  EXPECT_EQ(sceneGain(-55), 1.0);
  EXPECT_EQ(sceneGain(-HUGE_VAL), 1.0);
}

// Runs sound through a limiter at -1 dBTP, in uneven pieces.
std::vector<float> limited(const std::vector<float>& sound, TruePeakLimiter& limiter) {
  std::vector<std::vector<float>> out;
  for (std::size_t at = 0; at < sound.size(); at += 1000) {
    const float* piece = sound.data() + at;
    limiter.process({piece}, std::min<std::size_t>(1000, sound.size() - at), out);
  }
  limiter.finish(out);
  return out.at(0);
}

TEST(Loudness, LimiterHoldsTruePeaksAndLeavesQuietSoundAsItIs) {
  constexpr int kRate = 48000;
  const double ceiling = std::pow(10.0, -1.0 / 20);
  // Quiet, then a loud tone, then quiet again.
  std::vector<float> sound(3 * kRate);
  for (std::size_t i = 0; i < sound.size(); ++i) {
    double amplitude = i >= kRate && i < 2 * kRate ? 2.0 : 0.1;
    sound[i] = static_cast<float>(amplitude * std::sin(2 * M_PI * 1000 * i / kRate));
  }
  TruePeakLimiter limiter(1, kRate, -1.0);
  std::vector<float> out = limited(sound, limiter);
  ASSERT_EQ(out.size(), sound.size());
  float peak = 0;
  for (float sample : out)
    peak = std::max(peak, std::abs(sample));
  EXPECT_LE(peak, ceiling);
  EXPECT_GT(peak, 0.9 * ceiling); // limited, not squashed
  for (std::size_t i = 0; i < kRate - limiter.latency(); ++i)
    ASSERT_EQ(out[i], sound[i]) << i;
  // Recovered after the release.
  EXPECT_NEAR(out[2 * kRate + kRate / 2 + 12], sound[2 * kRate + kRate / 2 + 12], 1e-3);

  // A tone at a quarter of the rate, sampled between its peaks: the
  // samples stay under the ceiling while the wave between them does not.
  std::vector<float> between(kRate / 2);
  for (std::size_t i = 0; i < between.size(); ++i)
    between[i] = static_cast<float>(std::sin(M_PI / 2 * i + M_PI / 4));
  TruePeakLimiter second(1, kRate, -1.0);
  out = limited(between, second);
  peak = 0;
  for (std::size_t i = kRate / 10; i < out.size(); ++i)
    peak = std::max(peak, std::abs(out[i]));
  EXPECT_LE(peak, std::sqrt(0.5) * ceiling * 1.01);
}

} // namespace
} // namespace vidorel
