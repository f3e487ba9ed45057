#include "capture/movie_header.h"
#include "capture/take_writer.h"

#include "fakes/fake_duration_probe.h"
#include "fakes/fake_take_encoder.h"
#include "support/synthetic_media.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {

constexpr CaptureTime kMs = 1'000'000;
constexpr CaptureTime kBase = 5'000 * kMs; // capture clock at some arbitrary point

VideoFrame frameAt(CaptureTime time) {
  return testing::syntheticFrame(4, 4, 0, time);
}

// 10 ms of 16-bit stereo silence starting at time.
AudioBuffer audioAt(CaptureTime time, int rate = 48000) {
  return testing::syntheticSound(time, 0, nullptr, rate, 2, 0, SampleFormat::s16);
}

class TakeWriterTest : public ::testing::Test {
protected:
  TakeWriterTest() {
    logger.addSink(sink);
    encoder = std::make_shared<FakeTakeEncoderLog>();
    writer = std::make_unique<TakeWriter>(
        "/takes/scene-1-take-1.mov", std::make_unique<FakeTakeEncoder>(encoder), probe, logger);
  }

  Logger logger;
  std::shared_ptr<RecordingLogSink> sink = std::make_shared<RecordingLogSink>();
  FakeDurationProbe probe;
  std::shared_ptr<FakeTakeEncoderLog> encoder;
  std::unique_ptr<TakeWriter> writer;
};

TEST_F(TakeWriterTest, TimelineStartsAtTheFirstFrameAndFramesTheEncoderCannotTakeAreLost) {
  writer->appendAudio(audioAt(kBase - 10 * kMs));
  writer->appendVideo(frameAt(kBase));
  encoder->videoReady = false;
  writer->appendVideo(frameAt(kBase + 16 * kMs));
  encoder->videoReady = true;
  writer->appendVideo(frameAt(kBase + 50 * kMs));
  EXPECT_EQ(encoder->startCalls, 1);
  // Lost, not retried later.
  EXPECT_EQ(encoder->videoTimes, (std::vector<std::int64_t>{0, 50 * kMs}));
  writer->finish();
  EXPECT_TRUE(
      sink->contains(LogCategory::writer,
                     "frames written=2 repeated=0 dropped: not-ready=1 paused=0; audio buffers "
                     "written=0 dropped: before-first-frame=1 not-ready=0 paused=0; "
                     "audio corrections=0"));
}

TEST_F(TakeWriterTest, AudioBeforeTheFirstFrameIsDroppedAndOtherRatesPlacedInOutputSamples) {
  writer->appendAudio(audioAt(kBase - 30 * kMs));
  writer->appendAudio(audioAt(kBase - 20 * kMs));
  EXPECT_TRUE(encoder->audio.empty());
  writer->appendVideo(frameAt(kBase));
  // A buffer that straddles the first frame loses the part before it.
  writer->appendAudio(audioAt(kBase - 4 * kMs));
  ASSERT_EQ(encoder->audio.size(), 1u);
  EXPECT_EQ(encoder->audio[0].position, 0);
  EXPECT_EQ(encoder->audio[0].skip, 4 * 48);
  // The next buffer follows on directly, in 48 kHz samples whatever its rate.
  writer->appendAudio(audioAt(kBase + 6 * kMs, 44100));
  writer->appendAudio(audioAt(kBase + 16 * kMs, 44100));
  ASSERT_EQ(encoder->audio.size(), 3u);
  EXPECT_EQ(encoder->audio[1].position, 6 * 48);
  EXPECT_EQ(encoder->audio[1].skip, 0);
  EXPECT_EQ(encoder->audio[2].position, 16 * 48);
}

TEST_F(TakeWriterTest, PauseDropsSamplesButKeepsTheTimelineAndDelaysAStart) {
  writer->setPaused(true);
  writer->appendVideo(frameAt(kBase - 500 * kMs));
  EXPECT_FALSE(writer->sessionStarted());
  writer->setPaused(false);
  writer->appendVideo(frameAt(kBase));
  for (int i = 0; i < 100; ++i)
    writer->appendAudio(audioAt(kBase + i * 10 * kMs));
  writer->setPaused(true);
  // The picture before the pause is written once more as the pause begins
  // (a millisecond after it was last seen), and reaches the disk at once.
  EXPECT_EQ(encoder->repeatTimes, (std::vector<std::int64_t>{kMs}));
  EXPECT_EQ(encoder->flushes, 1);
  writer->appendVideo(frameAt(kBase + 1200 * kMs));
  writer->appendAudio(audioAt(kBase + 1200 * kMs));
  writer->setPaused(false);
  writer->appendVideo(frameAt(kBase + 2000 * kMs));
  writer->appendAudio(audioAt(kBase + 2000 * kMs));

  EXPECT_EQ(writer->counts().videoPaused, 2);
  EXPECT_EQ(writer->counts().audioPaused, 1);
  EXPECT_EQ(encoder->videoTimes, (std::vector<std::int64_t>{0, 2000 * kMs}));
  // After the pause the audio continues at its capture time: the second of
  // silence between is part of the take.
  ASSERT_EQ(encoder->audio.size(), 101u);
  EXPECT_EQ(encoder->audio.back().position, 2 * 48000);
}

TEST_F(TakeWriterTest, NothingIsWrittenAfterTheFileFailed) {
  encoder->startSucceeds = false;
  writer->appendVideo(frameAt(kBase));
  writer->appendAudio(audioAt(kBase));
  EXPECT_TRUE(encoder->videoTimes.empty());
  EXPECT_TRUE(encoder->audio.empty());
  EXPECT_DOUBLE_EQ(writer->finish(), 0.0);
  // Told to close the file with what it kept.
  EXPECT_EQ(encoder->finishCalls, 1);
  EXPECT_TRUE(sink->contains(LogCategory::writer, "post-finish status=3 error=disk full"));
}

TEST_F(TakeWriterTest, WithoutAFrameThereIsNoTake) {
  // Before the first frame an unchanged screen means nothing.
  writer->noteUnchangedFrame(kBase);
  EXPECT_FALSE(writer->sessionStarted());
  EXPECT_DOUBLE_EQ(writer->finish(), 0.0);
  // The encoder only closes (and removes) the file it created.
  EXPECT_EQ(encoder->finishCalls, 1);
  EXPECT_EQ(encoder->startCalls, 0);
  EXPECT_TRUE(
      sink->contains(LogCategory::writer, "finish: writer=1 sessionStarted=0 status=0 error=nil"));

  TakeWriter empty("/takes/x.mov", nullptr, probe, logger);
  empty.appendVideo(frameAt(kBase));
  EXPECT_FALSE(empty.sessionStarted());
  EXPECT_DOUBLE_EQ(empty.finish(), 0.0);
}

TEST_F(TakeWriterTest, FinishEndsAfterStillsAndPausesAndReturnsTheDurationReadBack) {
  probe.durations["scene-1-take-1.mov"] = 3.25;
  writer->appendVideo(frameAt(kBase));
  writer->appendAudio(audioAt(kBase + 990 * kMs));
  // The screen stood still after the last buffer arrived.
  writer->noteUnchangedFrame(kBase + 1500 * kMs);
  writer->noteUnchangedFrame(kBase + 1200 * kMs);
  writer->setPaused(true);
  writer->appendVideo(frameAt(kBase + 1800 * kMs));
  EXPECT_DOUBLE_EQ(writer->finish(), 3.25);
  EXPECT_EQ(encoder->finishEndTime, 1800 * kMs);
  EXPECT_EQ(encoder->videoTimes, (std::vector<std::int64_t>{0}));
  ASSERT_EQ(probe.asked.size(), 1u);
  // Finishing again only reads the duration again.
  EXPECT_DOUBLE_EQ(writer->finish(), 3.25);
  EXPECT_EQ(encoder->finishCalls, 1);
}

// The crash-time update of the movie's stated length finds its field only
// inside the bytes read and inside the header box: a header box cut off by
// the end of the block (as a fuzzer built it) was read one byte past it.
TEST(MovieLengthField, IsFoundOnlyWhollyInsideTheBytesAndTheHeaderBox) {
  std::vector<std::uint8_t> head = {0, 0, 0, 116, 'm', 'o', 'o', 'v',
                                    0, 0, 0, 108, 'm', 'v', 'h', 'd'};
  head.resize(116);
  head[8 + 20 + 2] = 600 >> 8; // timescale, after version, flags and two times
  head[8 + 20 + 3] = 600 & 0xff;
  EXPECT_EQ(findMovieLengthField(head.data(), head.size()), (MovieLengthField{32, false, 600}));
  EXPECT_EQ(findMovieLengthField(head.data(), 16), std::nullopt);
  head[11] = 27; // a header box too short for its own fields
  EXPECT_EQ(findMovieLengthField(head.data(), head.size()), std::nullopt);
}

} // namespace
} // namespace vidorel
