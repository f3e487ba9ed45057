// What a key frame at least once per second of new pictures costs in take
// size: a slide-like take (a still slide that changes every 4 s, the
// screen reported unchanged in between) and a motion take (every frame
// new), each written with and without the rule. Prints the sizes.

#include "base/log.h"
#include "capture/ffmpeg_take_writer.h"
#include "store/duration_probe.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <unistd.h>

using namespace vidorel;

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr CaptureTime kMs = 1'000'000;

// A slide: a background, a title bar and lines of "text" that differ per
// slide; motion: the same picture scrolling by a few pixels per frame.
VideoFrame picture(int slide, int shift, CaptureTime time) {
  auto pixels = std::make_shared<std::vector<std::uint8_t>>(std::size_t(kWidth) * kHeight * 4);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      std::uint8_t* p = pixels->data() + (std::size_t(y) * kWidth + x) * 4;
      int sx = x + shift;
      bool title = y < 90;
      bool text = y > 150 && (y / 24) % 2 == 0 && ((sx / 7 + slide * 13 + y / 24) % 9) < 6;
      std::uint8_t base = static_cast<std::uint8_t>(230 - (y * 20) / kHeight);
      p[0] = title ? 120 : text ? 40 : base;
      p[1] = title ? 60 : text ? 40 : base;
      p[2] = title ? static_cast<std::uint8_t>(20 + slide * 30) : text ? 40 : base;
      p[3] = 0;
    }
  VideoFrame frame;
  frame.pixels = pixels;
  frame.width = kWidth;
  frame.height = kHeight;
  frame.stride = kWidth * 4;
  frame.timestamp = time;
  frame.status = FrameStatus::complete;
  return frame;
}

AudioBuffer silence(CaptureTime time) {
  AudioBuffer buffer;
  buffer.format = SampleFormat::s16;
  buffer.data.assign(480 * 4, 0);
  buffer.timestamp = time;
  return buffer;
}

std::uintmax_t writeTake(const std::filesystem::path& file, bool motion, bool rule) {
  Logger logger;
  FfmpegDurationProbe probe;
  TakeEncoderSettings settings;
  settings.maxQueuedFrames = 1'000'000;
  settings.maxQueuedVideoBytes = SIZE_MAX;
  settings.keyFramePerSecond = rule;
  TakeWriter writer(file, makeFfmpegTakeEncoder(file, kWidth, kHeight, logger, settings), probe,
                    logger);
  const int length = motion ? 10'000 : 20'000;
  VideoFrame slide = picture(0, 0, 0);
  for (int t = 0; t < length; t += 10) {
    CaptureTime now = 1000 * kMs + t * kMs;
    if (motion) {
      if (t % 30 == 0)
        writer.appendVideo(picture(0, t / 10, now));
    } else if (t % 4000 == 0) {
      slide = picture(t / 4000, 0, now);
      writer.appendVideo(slide);
    } else if (t % 20 == 0) {
      writer.noteUnchangedFrame(now);
    }
    writer.appendAudio(silence(now));
  }
  writer.finish();
  return std::filesystem::file_size(file);
}

} // namespace

int main() {
  std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                 ("vidorel-bench-keyframes-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  std::printf("%dx%d, x264 %s, sound 128 kb/s AAC of silence\n", kWidth, kHeight, kTakePreset);
  std::printf("%-34s %12s %12s %8s\n", "take", "without (B)", "with (B)", "cost");
  struct Case {
    const char* name;
    bool motion;
  } cases[] = {{"slides (20 s, a new slide every 4 s)", false},
               {"motion (10 s, every frame new)", true}};
  for (const Case& c : cases) {
    std::uintmax_t without = writeTake(folder / "without.mov", c.motion, false);
    std::uintmax_t with = writeTake(folder / "with.mov", c.motion, true);
    std::filesystem::remove(folder / "without.mov");
    std::filesystem::remove(folder / "with.mov");
    std::printf("%-34s %12ju %12ju %+7.1f%%\n", c.name, without, with,
                100.0 * (double(with) - double(without)) / double(without));
  }
  std::filesystem::remove_all(folder);
  return 0;
}
