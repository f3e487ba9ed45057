#include "capture/ffmpeg_take_writer.h"

#include "capture/capture_error.h"
#include "support/movie_tools.h"
#include "support/synthetic_media.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <thread>

namespace vidorel {
namespace {

constexpr CaptureTime kMs = 1'000'000;
constexpr CaptureTime kBase = 7'000 * kMs;

using namespace testing;

class FfmpegTakeWriterTest : public ::testing::Test {
protected:
  void SetUp() override { logger.addSink(sink); }

  // Feeds milliseconds (ms throughout) of 30 fps frames and of a 44.1 kHz
  // mono microphone, which starts audioLead early, pausing if asked.
  void feed(TakeWriter& writer, int width, int height, int milliseconds, int pauseStart = -1,
            int pauseLength = 0, int audioLead = 0) {
    for (int t = -audioLead; t < milliseconds; t += 10) {
      if (pauseStart >= 0 && t == pauseStart)
        writer.setPaused(true);
      if (pauseStart >= 0 && t == pauseStart + pauseLength)
        writer.setPaused(false);
      if (t >= 0 && t % 30 == 0)
        writer.appendVideo(syntheticFrame(width, height, t / 30, kBase + t * kMs));
      writer.appendAudio(syntheticSound(kBase + t * kMs, 440, nullptr, 44100, 1));
    }
  }

  // Tests feed faster than real time; deep queues keep every frame and
  // every microphone buffer however far the encoder falls behind.
  std::unique_ptr<TakeWriter> makeWriter(const std::filesystem::path& file, int width, int height) {
    TakeEncoderSettings deep;
    deep.maxQueuedFrames = 100000;
    deep.maxQueuedVideoBytes = SIZE_MAX;
    deep.maxQueuedAudio = 100000;
    return std::make_unique<TakeWriter>(
        file, makeFfmpegTakeEncoder(file, width, height, logger, deep), durationProbe, logger);
  }

  testing::TemporaryFolder temporary{"writer"};
  const std::filesystem::path& folder = temporary.path();
  Logger logger;
  std::shared_ptr<RecordingLogSink> sink = std::make_shared<RecordingLogSink>();
  FfmpegDurationProbe durationProbe;
};

TEST_F(FfmpegTakeWriterTest, WritesH264AndAacAsAPlainQuickTimeMovie) {
  auto file = folder / "scene-1-take-1.mov";
  auto writer = makeWriter(file, 320, 240);
  feed(*writer, 320, 240, 2000, -1, 0, 200);
  double duration = writer->finish();
  EXPECT_NEAR(duration, 2.0, 0.1);

  // H.264 without B-frames, and the microphone's 44.1 kHz mono as 48 kHz
  // stereo AAC; the 200 ms of it before the first frame are not in the file.
  EXPECT_EQ(commandOutput("ffprobe -v error -show_entries stream=codec_name,width,height,"
                          "pix_fmt,has_b_frames,sample_rate,channels -of csv=p=0 " +
                          shellQuoted(file)),
            "h264,320,240,0,yuv420p\naac,48000,2\n");
  EXPECT_NEAR(movieDuration(file), 2.0, 0.05);
  EXPECT_EQ(writer->counts().audioBeforeFirstFrame, 20);
  EXPECT_EQ(writer->counts().videoWritten, 67);

  // A normal stop gives a plain movie with its index first; the copy it was
  // made from is gone, and nothing else is left beside it.
  std::vector<std::string> boxes = topLevelBoxes(file);
  ASSERT_GE(boxIndex(boxes, "moov"), 0);
  ASSERT_GE(boxIndex(boxes, "mdat"), 0);
  EXPECT_LT(boxIndex(boxes, "moov"), boxIndex(boxes, "mdat"));
  EXPECT_EQ(boxIndex(boxes, "moof"), -1);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                          std::filesystem::directory_iterator()),
            1);
  // Both readers play all of it (gst-launch cannot count every buffer),
  // a frame every 1/60 s.
  DecodedEnds ffmpeg = decodeEndsWithFfmpeg(file);
  EXPECT_EQ(ffmpeg.videoFrames, 120);
  for (const DecodedEnds& decoded : {ffmpeg, decodeEndsWithGstreamer(file)}) {
    EXPECT_NEAR(decoded.videoEnd, 2.0, 0.05);
    EXPECT_NEAR(decoded.audioEnd, 2.0, 0.05);
  }
}

TEST_F(FfmpegTakeWriterTest, FullQueueDropsInsteadOfBlocking) {
  auto file = folder / "behind.mov";
  TakeEncoderSettings slow;
  slow.preset = "medium";
  slow.threads = 1;
  slow.maxQueuedFrames = 2;
  TakeWriter writer(file, makeFfmpegTakeEncoder(file, 1280, 720, logger, slow), durationProbe,
                    logger);
  // 120 frames of 720p at the "medium" preset take seconds to encode: the
  // frames the full queue cannot take are dropped, not waited for.
  std::vector<VideoFrame> frames;
  for (int i = 0; i < 4; ++i)
    frames.push_back(syntheticFrame(1280, 720, i * 7, 0));
  for (int i = 0; i < 120; ++i) {
    VideoFrame frame = frames[i % frames.size()];
    frame.timestamp = kBase + i * 16 * kMs;
    writer.appendVideo(frame);
  }
  EXPECT_GT(writer.counts().videoNotReady, 60);
  EXPECT_EQ(writer.counts().videoWritten + writer.counts().videoNotReady, 120);
  writer.finish();
  EXPECT_EQ(packets(file, 'v').size(), static_cast<size_t>(writer.counts().videoWritten));
}

// Sound that begins late (the header has gone out with the encoder's first
// frames of silence) is heard where it began, in both readers.
TEST_F(FfmpegTakeWriterTest, SoundThatBeginsLateIsHeardWhereItBegan) {
  auto file = folder / "late.mov";
  auto writer = makeWriter(file, 320, 240);
  for (int t = 0; t < 3000; t += 10) {
    if (t % 30 == 0)
      writer->appendVideo(syntheticFrame(320, 240, t / 30, kBase + t * kMs));
    if (t >= 1500)
      writer->appendAudio(syntheticSound(kBase + t * kMs, 440));
  }
  writer->finish();
  for (const ShownMovie& shown : {showWithFfmpeg(file), showWithGstreamer(file)}) {
    auto heard = std::find_if(shown.audio.begin(), shown.audio.end(),
                              [](short sample) { return std::abs(sample) > 2000; });
    ASSERT_NE(heard, shown.audio.end());
    EXPECT_NEAR((heard - shown.audio.begin()) / 48000.0, 1.5, 0.01);
  }
}

// The video's parameter sets as ffprobe dumps them.
std::string videoExtradata(const std::filesystem::path& file) {
  return commandOutput("ffprobe -v error -select_streams v -show_entries stream=extradata "
                       "-show_data " +
                       shellQuoted(file));
}

TEST_F(FfmpegTakeWriterTest, TakesOfOneSizeShareTheirParameterSets) {
  auto first = folder / "a.mov";
  auto second = folder / "b.mov";
  auto one = makeWriter(first, 320, 240);
  feed(*one, 320, 240, 500);
  one->finish();
  auto two = makeWriter(second, 320, 240);
  // Different content and length.
  feed(*two, 320, 240, 1200, 300, 200);
  two->finish();
  std::string a = videoExtradata(first);
  ASSERT_NE(a.find("00000010: "), std::string::npos) << a;
  EXPECT_EQ(a, videoExtradata(second));
}

TEST_F(FfmpegTakeWriterTest, AnExistingFileIsNeverTruncated) {
  auto file = folder / "scene-1-take-1.mov";
  writeFile(file, "another take's bytes");
  try {
    makeFfmpegTakeWriter(file, 320, 240, durationProbe, logger);
    ADD_FAILURE() << "an existing file was opened for writing";
  } catch (const CaptureFailure& failure) {
    EXPECT_NE(failure.description().find("File exists"), std::string::npos)
        << failure.description();
  }
  EXPECT_EQ(readFile(file), "another take's bytes");

  // A take that never started removes the file it created, and only that.
  auto fresh = folder / "scene-1-take-2.mov";
  {
    auto writer = makeWriter(fresh, 320, 240);
    EXPECT_TRUE(std::filesystem::exists(fresh));
  }
  EXPECT_FALSE(std::filesystem::exists(fresh));
  EXPECT_TRUE(std::filesystem::exists(file));
}

// The writer runs in a child process that feeds it in real time (2 s of
// moving pictures, then a still screen), the microphone from soundFrom on,
// and reports how far it has fed; the child is killed without warning once
// it has fed killAt. Returns how far it fed.
int feedAndKill(const std::filesystem::path& file, int soundFrom, int killAt, Logger& logger,
                DurationProbe& durationProbe) {
  int report[2];
  if (pipe(report) != 0)
    return 0;
  pid_t child = fork();
  if (child < 0)
    return 0;
  if (child == 0) {
    close(report[0]);
    TakeWriter writer(file, makeFfmpegTakeEncoder(file, 320, 240, logger), durationProbe, logger);
    auto start = std::chrono::steady_clock::now();
    for (int t = 0; t < 20000; t += 10) {
      std::this_thread::sleep_until(start + std::chrono::milliseconds(t));
      CaptureTime now = kBase + t * kMs;
      if (t < 2000 && t % 30 == 0)
        writer.appendVideo(syntheticFrame(320, 240, t / 30, now));
      else if (t >= 2000 && t % 20 == 0)
        writer.noteUnchangedFrame(now);
      if (t >= soundFrom)
        writer.appendAudio(syntheticSound(now, 440));
      if (t % 100 == 0 && write(report[1], &t, sizeof t) != sizeof t)
        break;
    }
    _exit(0);
  }
  close(report[1]);
  // Bounded waits: a child that stops reporting fails the test.
  int fed = 0;
  pollfd reports{report[0], POLLIN, 0};
  for (int value = 0; fed < killAt && poll(&reports, 1, 5000) == 1 &&
                      read(report[0], &value, sizeof value) == sizeof value;)
    fed = value;
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(report[0]);
  return fed;
}

TEST_F(FfmpegTakeWriterTest, AKilledWriterLeavesATakeMissingAtMostTheLastSecondAndAHalf) {
  // A microphone that has not delivered by the kill (a headset still
  // switching profiles) holds none of the pictures back.
  auto silent = folder / "silent.mov";
  int fed = feedAndKill(silent, 20000, 2500, logger, durationProbe);
  ASSERT_GE(fed, 2500) << "the child stopped early";
  ASSERT_GE(boxIndex(topLevelBoxes(silent), "moof"), 0) << "no fragment was cut";
  for (const DecodedEnds& decoded : {decodeEndsWithFfmpeg(silent), decodeEndsWithGstreamer(silent)})
    EXPECT_GE(decoded.videoEnd, fed / 1000.0 - 1.5);

  auto file = folder / "killed.mov";
  fed = feedAndKill(file, 0, 4500, logger, durationProbe);
  ASSERT_GE(fed, 4500) << "the child stopped early";
  ASSERT_GE(boxIndex(topLevelBoxes(file), "moof"), 0) << "no fragment was cut";

  // It plays up to at most 1.5 s before the kill, picture (the still
  // screen) and sound.
  double fedSeconds = fed / 1000.0;
  DecodedEnds ffmpeg = decodeEndsWithFfmpeg(file);
  DecodedEnds gstreamer = decodeEndsWithGstreamer(file);
  EXPECT_GE(ffmpeg.videoFrames, 67);
  for (const DecodedEnds& decoded : {ffmpeg, gstreamer}) {
    EXPECT_GE(decoded.videoEnd, fedSeconds - 1.5);
    EXPECT_GE(decoded.audioEnd, fedSeconds - 1.5);
  }
  std::optional<double> duration = durationProbe.duration(file);
  ASSERT_TRUE(duration);
  EXPECT_GE(*duration, fedSeconds - 1.5);
  // GStreamer's players show the length the movie header states, which
  // keeps up with the fragments (not the first fragment's second).
  EXPECT_NEAR(gstreamerLength(file), *duration, 0.1);
}

// A file size limit stands in for a full disk: the write that crosses it
// fails with EFBIG.
TEST_F(FfmpegTakeWriterTest, AFullDiskEndsTheTakeKeepingWhatWasWritten) {
  auto file = folder / "full.mov";
  constexpr rlim_t kLimit = 160 * 1024;
  ASSERT_TRUE(finishesWithin(60, [&] {
    limitFileSize(kLimit);
    std::atomic<int> calls = 0;
    std::string said;
    auto writer = makeWriter(file, 320, 240);
    writer->setFailureHandler([&](std::string description) {
      said = description;
      ++calls;
    });
    feed(*writer, 320, 240, 8000);
    writer->finish();
    // Told once, with the reason.
    std::fprintf(stderr, "told %d time(s): %s\n", calls.load(), said.c_str());
    return calls == 1 && said.find("File too large") != std::string::npos;
  }));
  std::optional<double> probed = durationProbe.duration(file);
  ASSERT_TRUE(probed);
  double duration = *probed;
  // What reached the disk before is a movie both readers play to its end.
  EXPECT_LE(std::filesystem::file_size(file), kLimit);
  EXPECT_GT(duration, 1.0);
  EXPECT_LT(duration, 7.0);
  for (const DecodedEnds& decoded : {decodeEndsWithFfmpeg(file), decodeEndsWithGstreamer(file)}) {
    EXPECT_NEAR(decoded.videoEnd, duration, 0.1);
    EXPECT_NEAR(decoded.audioEnd, duration, 0.1);
  }
  // The header states what reached the disk, not the torn fragment.
  EXPECT_NEAR(gstreamerLength(file), duration, 0.1);
  // What is left is constant-rate too: a frame on every tick.
  std::vector<Packet> written = packets(file, 'v');
  ASSERT_FALSE(written.empty());
  for (std::size_t i = 0; i < written.size(); ++i)
    ASSERT_NEAR(written[i].pts, static_cast<double>(i) / 60, 1e-4) << i;
}

TEST_F(FfmpegTakeWriterTest, StillScreensRepeatOnEveryTickAndNewPicturesGetAKeyFramePerSecond) {
  // A still slide for 2.5 s, reported unchanged at 60 Hz from 1 s on only,
  // then pictures changing at 30 frames/s up to 6 s.
  auto file = folder / "still-then-moving.mov";
  auto writer = makeWriter(file, 320, 240);
  writer->appendVideo(syntheticFrame(320, 240, 0, kBase));
  for (int t = 0; t < 6000; t += 10) {
    CaptureTime now = kBase + t * kMs;
    if (t >= 2500 && t % 30 == 10)
      writer->appendVideo(syntheticFrame(320, 240, t / 30, now));
    else if (t >= 1000 && t < 2500 && t % 20 == 0)
      writer->noteUnchangedFrame(now);
    writer->appendAudio(syntheticSound(now, 440));
  }
  writer->finish();
  // Written every half second of the reported still.
  EXPECT_EQ(writer->counts().videoRepeated, 3);
  std::vector<Packet> written = packets(file, 'v');
  ASSERT_EQ(written.size(), 360u);
  EXPECT_TRUE(written.front().key);
  int repeats = 0;
  double lastKey = 0;
  for (std::size_t i = 0; i < written.size(); ++i) {
    auto [time, dts, key, hash, size] = written[i];
    ASSERT_NEAR(time, static_cast<double>(i) / 60, 1e-4) << i;
    // The slide is repeated on every tick as a frame of skipped blocks.
    if (time > 0 && time < 2.5) {
      repeats += size < 32 && !key;
      continue;
    }
    // Then the first new picture, and one at least every second (plus the
    // frame that crosses it), is a key frame; repeats fill the ticks between.
    if (time < 2.5 || size < 32)
      continue;
    if (time - lastKey >= 1.0 - 1e-6) {
      EXPECT_TRUE(key) << "no key frame at " << time << " since " << lastKey;
    }
    if (key)
      lastKey = time;
  }
  EXPECT_EQ(repeats, 149);
}

} // namespace
} // namespace vidorel
