#include "capture/ffmpeg_take_writer.h"

#include "capture/capture_error.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

extern "C" {
#include <libavformat/avformat.h>
}

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace vidorel {
namespace {

constexpr CaptureTime kMs = 1'000'000;
constexpr CaptureTime kBase = 7'000 * kMs;

std::string run(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe)
    return output;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0)
    output.append(chunk, n);
  pclose(pipe);
  return output;
}

nlohmann::json probe(const std::filesystem::path& file) {
  std::string out = run("ffprobe -v error -show_streams -show_format -of json '" + file.string() +
                        "' 2>/dev/null");
  return nlohmann::json::parse(out, nullptr, false);
}

// Frames of a moving bar so the encoder has something to do.
VideoFrame frameAt(int width, int height, int index, CaptureTime time) {
  auto pixels =
      std::make_shared<std::vector<std::uint8_t>>(static_cast<size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = pixels->data() + (static_cast<size_t>(y) * width + x) * 4;
      bool bar = ((x + index * 4) / 16) % 2 == 0;
      p[0] = bar ? 200 : 30;
      p[1] = static_cast<std::uint8_t>(y);
      p[2] = static_cast<std::uint8_t>(index * 3);
      p[3] = 0;
    }
  VideoFrame frame;
  frame.pixels = pixels;
  frame.width = width;
  frame.height = height;
  frame.stride = width * 4;
  frame.timestamp = time;
  frame.status = FrameStatus::complete;
  return frame;
}

// 10 ms of a 440 Hz tone, interleaved float, at the given rate and channels.
AudioBuffer toneAt(CaptureTime time, int rate = 48000, int channels = 2) {
  AudioBuffer buffer;
  buffer.format = SampleFormat::f32;
  buffer.sampleRate = rate;
  buffer.channels = channels;
  buffer.timestamp = time;
  int frames = rate / 100;
  std::vector<float> samples(static_cast<size_t>(frames) * channels);
  double start = static_cast<double>(time) / 1e9;
  for (int i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c)
      samples[static_cast<size_t>(i) * channels + c] =
          static_cast<float>(0.3 * std::sin(2 * M_PI * 440 * (start + double(i) / rate)));
  buffer.data.resize(samples.size() * sizeof(float));
  std::memcpy(buffer.data.data(), samples.data(), buffer.data.size());
  return buffer;
}

class FfmpegTakeWriterTest : public ::testing::Test {
protected:
  void SetUp() override {
    folder = std::filesystem::temp_directory_path() /
             ("vidorel-writer-" + std::to_string(getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder);
    logger.addSink(sink);
  }
  void TearDown() override { std::filesystem::remove_all(folder); }

  // Feeds seconds of 30 fps frames and 10 ms audio buffers, optionally
  // with a pause from pauseStart for pauseLength (both in ms), and audio
  // starting audioLead ms before the first frame.
  void feed(TakeWriter& writer, int width, int height, int milliseconds, int pauseStart = -1,
            int pauseLength = 0, int audioLead = 0) {
    for (int t = -audioLead; t < milliseconds; t += 10) {
      if (pauseStart >= 0 && t == pauseStart)
        writer.setPaused(true);
      if (pauseStart >= 0 && t == pauseStart + pauseLength)
        writer.setPaused(false);
      if (t >= 0 && t % 30 == 0)
        writer.appendVideo(frameAt(width, height, t / 30, kBase + t * kMs));
      writer.appendAudio(toneAt(kBase + t * kMs));
    }
  }

  // Tests feed faster than real time; a deep queue keeps every frame.
  std::unique_ptr<TakeWriter> makeWriter(const std::filesystem::path& file, int width, int height) {
    TakeEncoderSettings deep;
    deep.maxQueuedFrames = 100000;
    return std::make_unique<TakeWriter>(
        file, makeFfmpegTakeEncoder(file, width, height, logger, deep), durationProbe, logger);
  }

  std::filesystem::path folder;
  Logger logger;
  std::shared_ptr<RecordingLogSink> sink = std::make_shared<RecordingLogSink>();
  FfmpegDurationProbe durationProbe;
};

TEST_F(FfmpegTakeWriterTest, WritesH264AndAacInQuickTime) {
  auto file = folder / "scene-1-take-1.mov";
  auto writer = makeWriter(file, 320, 240);
  feed(*writer, 320, 240, 2000, -1, 0, 200);
  double duration = writer->finish();
  EXPECT_NEAR(duration, 2.0, 0.1);

  nlohmann::json info = probe(file);
  ASSERT_TRUE(info.is_object()) << "ffprobe could not read the take";
  ASSERT_EQ(info["streams"].size(), 2u);
  const auto& video = info["streams"][0];
  const auto& audio = info["streams"][1];
  EXPECT_EQ(video["codec_name"], "h264");
  EXPECT_EQ(video["width"], 320);
  EXPECT_EQ(video["height"], 240);
  EXPECT_EQ(video["pix_fmt"], "yuv420p");
  EXPECT_EQ(video["has_b_frames"], 0);
  EXPECT_EQ(audio["codec_name"], "aac");
  EXPECT_EQ(audio["sample_rate"], "48000");
  EXPECT_EQ(audio["channels"], 2);
  EXPECT_NE(info["format"]["format_name"].get<std::string>().find("mov"), std::string::npos);
  // 200 ms of audio came before the first frame; none of it is in the file.
  EXPECT_NEAR(std::stod(audio["duration"].get<std::string>()), 2.0, 0.05);
  EXPECT_EQ(writer->counts().audioBeforeFirstFrame, 20);
  EXPECT_EQ(writer->counts().videoWritten, 67);
  EXPECT_TRUE(sink->contains(LogCategory::writer, "post-finish status=2 error=nil"));
}

TEST_F(FfmpegTakeWriterTest, FramesOfAnUnchangedScreenKeepTheirTime) {
  // A frame at 0 s and one at 1.5 s: the first lasts until the second.
  auto file = folder / "still.mov";
  auto writer = makeWriter(file, 160, 120);
  writer->appendVideo(frameAt(160, 120, 0, kBase));
  writer->appendVideo(frameAt(160, 120, 1, kBase + 1500 * kMs));
  for (int t = 0; t < 2000; t += 10)
    writer->appendAudio(toneAt(kBase + t * kMs));
  EXPECT_NEAR(writer->finish(), 2.0, 0.05);
  std::string times = run("ffprobe -v error -select_streams v -show_entries packet=pts_time "
                          "-of csv=p=0 '" +
                          file.string() + "'");
  EXPECT_EQ(times, "0.000000\n1.500000\n");
}

TEST_F(FfmpegTakeWriterTest, PauseStaysInTheDuration) {
  auto file = folder / "paused.mov";
  auto writer = makeWriter(file, 320, 240);
  // 3 s, paused from 1 s to 2 s.
  feed(*writer, 320, 240, 3000, 1000, 1000);
  EXPECT_NEAR(writer->finish(), 3.0, 0.1);
  EXPECT_GT(writer->counts().videoPaused, 30);
  EXPECT_GT(writer->counts().audioPaused, 95);
  // No frame inside the pause.
  std::string times = run("ffprobe -v error -select_streams v -show_entries packet=pts_time "
                          "-of csv=p=0 '" +
                          file.string() + "'");
  std::istringstream lines(times);
  int inside = 0, total = 0;
  for (std::string line; std::getline(lines, line);) {
    double t = std::stod(line);
    ++total;
    if (t > 1.0 && t < 2.0)
      ++inside;
  }
  EXPECT_EQ(inside, 0);
  // The picture before the pause is written once more as the pause begins,
  // so it reaches the disk at once.
  EXPECT_EQ(writer->counts().videoRepeated, 1);
  EXPECT_EQ(total, 67 + 1);
}

TEST_F(FfmpegTakeWriterTest, NoFrameMeansNoFile) {
  auto file = folder / "empty.mov";
  auto writer = makeWriter(file, 320, 240);
  writer->appendAudio(toneAt(kBase));
  EXPECT_DOUBLE_EQ(writer->finish(), 0.0);
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_TRUE(
      sink->contains(LogCategory::writer, "finish: writer=1 sessionStarted=0 status=0 error=nil"));
}

TEST_F(FfmpegTakeWriterTest, UnwritableDestinationFailsAtCreation) {
  auto file = folder / "missing" / "take.mov";
  EXPECT_THROW(makeFfmpegTakeWriter(file, 320, 240, durationProbe, logger), CaptureFailure);
}

TEST_F(FfmpegTakeWriterTest, FullQueueDropsInsteadOfBlocking) {
  auto file = folder / "behind.mov";
  TakeEncoderSettings slow;
  slow.preset = "medium";
  slow.threads = 1;
  slow.maxQueuedFrames = 2;
  TakeWriter writer(file, makeFfmpegTakeEncoder(file, 1280, 720, logger, slow), durationProbe,
                    logger);
  std::vector<VideoFrame> frames;
  for (int i = 0; i < 4; ++i)
    frames.push_back(frameAt(1280, 720, i * 7, 0));
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 120; ++i) {
    VideoFrame frame = frames[i % frames.size()];
    frame.timestamp = kBase + i * 16 * kMs;
    writer.appendVideo(frame);
  }
  auto offered = std::chrono::steady_clock::now() - start;
  // 120 frames of 720p at the "medium" preset take seconds to encode; the
  // appends return long before.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(offered).count(), 500);
  EXPECT_GT(writer.counts().videoNotReady, 60);
  EXPECT_EQ(writer.counts().videoWritten + writer.counts().videoNotReady, 120);
  writer.finish();
  std::string count = run("ffprobe -v error -select_streams v -count_packets -show_entries "
                          "stream=nb_read_packets -of csv=p=0 '" +
                          file.string() + "'");
  EXPECT_EQ(std::stoi(count), writer.counts().videoWritten);
}

std::vector<std::uint8_t> videoExtradata(const std::filesystem::path& file) {
  AVFormatContext* format = nullptr;
  std::vector<std::uint8_t> bytes;
  if (avformat_open_input(&format, file.c_str(), nullptr, nullptr) < 0)
    return bytes;
  if (avformat_find_stream_info(format, nullptr) >= 0 && format->nb_streams > 0) {
    const AVCodecParameters* par = format->streams[0]->codecpar;
    bytes.assign(par->extradata, par->extradata + par->extradata_size);
  }
  avformat_close_input(&format);
  return bytes;
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
  std::vector<std::uint8_t> a = videoExtradata(first);
  ASSERT_FALSE(a.empty());
  EXPECT_EQ(a, videoExtradata(second));
}

TEST_F(FfmpegTakeWriterTest, MicrophoneFormatsAreConverted) {
  auto file = folder / "mono.mov";
  auto writer = makeWriter(file, 160, 120);
  writer->appendVideo(frameAt(160, 120, 0, kBase));
  for (int t = 0; t < 1000; t += 10)
    writer->appendAudio(toneAt(kBase + t * kMs, 44100, 1));
  writer->appendVideo(frameAt(160, 120, 1, kBase + 990 * kMs));
  writer->finish();
  nlohmann::json info = probe(file);
  ASSERT_TRUE(info.is_object());
  const auto& audio = info["streams"][1];
  EXPECT_EQ(audio["sample_rate"], "48000");
  EXPECT_EQ(audio["channels"], 2);
  EXPECT_NEAR(std::stod(audio["duration"].get<std::string>()), 1.0, 0.05);
}

} // namespace
} // namespace vidorel
