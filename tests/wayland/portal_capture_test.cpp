// The Wayland capture path against a fake ScreenCast portal on a private
// session bus and a real PipeWire server whose video source is GStreamer's
// test picture (tests/wayland/with-pipewire starts them).

#include "base/blocking_main_loop.h"
#include "capture/pipewire_screen_source.h"
#include "capture/portal_capture_backend.h"
#include "capture/portal_screen_cast.h"
#include "store/duration_probe.h"
#include "workflow/json_defaults_store.h"

#include "fakes/run_on_loop.h"
#include "fakes/shell_command.h"
#include "support/movie_tools.h"
#include "wayland/fake_portal.h"

#include "support/temporary_folder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace vidorel {
namespace {

namespace fs = std::filesystem;
using testing::commandOutput;
using testing::runOnLoop;

// The node of test picture `index` (0, 1, 2); each serves one stream.
std::uint32_t testNode(int index = 0) {
  const char* nodes = std::getenv("VIDOREL_TEST_PIPEWIRE_NODES");
  if (!nodes)
    return 0;
  std::istringstream words(nodes);
  std::uint32_t node = 0;
  for (int i = 0; i <= index; ++i) {
    if (!(words >> node))
      return 0;
  }
  return node;
}

CaptureTime monotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<CaptureTime>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// The fake portal serving test picture `source`, logging into `folder`.
class TestPortal : public testing::FakePortal {
public:
  explicit TestPortal(const fs::path& folder, std::vector<std::string> extra = {}, int source = 0)
      : FakePortal(folder / "portal.jsonl", std::to_string(testNode(source)), std::move(extra)) {}
};

class PortalCapture : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_NE(testNode(2), 0u) << "run under tests/wayland/with-pipewire";
    folder_ = vidorel::testing::makeTemporaryFolder("portal");
  }
  void TearDown() override { fs::remove_all(folder_); }

  fs::path defaultsFile() const { return folder_ / "defaults.json"; }
  std::string defaultsText() const {
    std::ifstream in(defaultsFile());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  Logger logger_;
  fs::path folder_;
};

TEST_F(PortalCapture, AsksForOneMonitorWithTheCursorAndKeepsTheRestoreToken) {
  TestPortal portal(folder_);
  ASSERT_TRUE(portal.ready());
  JsonDefaultsStore defaults(defaultsFile());
  PortalScreenCast cast(logger_);
  ASSERT_TRUE(cast.available());

  ScreenCastStart first = cast.start(defaults);
  ASSERT_EQ(first.outcome, ScreenCastOutcome::started) << first.error;
  EXPECT_EQ(first.node, testNode());
  EXPECT_EQ(first.width, 320);
  EXPECT_EQ(first.height, 240);
  ASSERT_FALSE(first.restoreToken.empty());
  EXPECT_EQ(defaults.string(kScreenCastRestoreTokenKey), first.restoreToken);
  EXPECT_NE(defaultsText().find(first.restoreToken), std::string::npos) << defaultsText();

  std::vector<nlohmann::json> selects = portal.calls("SelectSources");
  ASSERT_EQ(selects.size(), 1u);
  EXPECT_EQ(selects[0]["types"], 1) << "a monitor";
  EXPECT_EQ(selects[0]["multiple"], false);
  EXPECT_EQ(selects[0]["cursor_mode"], 2) << "the cursor drawn into the frames";
  EXPECT_EQ(selects[0]["persist_mode"], 2) << "kept until revoked";
  EXPECT_FALSE(selects[0].contains("restore_token"));
  EXPECT_EQ(portal.calls("CreateSession").size(), 1u);
  EXPECT_EQ(portal.calls("Start").size(), 1u);
  cast.close();
  EXPECT_EQ(portal.calls("Close").size(), 1u) << "the session is closed on the portal";

  // The next start hands the token back, so the desktop need not ask.
  ScreenCastStart second = cast.start(defaults);
  ASSERT_EQ(second.outcome, ScreenCastOutcome::started) << second.error;
  selects = portal.calls("SelectSources");
  ASSERT_EQ(selects.size(), 2u);
  EXPECT_EQ(selects[1]["restore_token"], first.restoreToken);
  EXPECT_EQ(defaults.string(kScreenCastRestoreTokenKey), second.restoreToken);
}

TEST_F(PortalCapture, ATokenThePortalNoLongerAcceptsIsDroppedAndTheDialogShownAgain) {
  TestPortal portal(folder_, {"--stale-token", "forgotten"});
  ASSERT_TRUE(portal.ready());
  JsonDefaultsStore defaults(defaultsFile());
  defaults.setString(kScreenCastRestoreTokenKey, "forgotten");
  PortalScreenCast cast(logger_);
  ScreenCastStart result = cast.start(defaults);
  ASSERT_EQ(result.outcome, ScreenCastOutcome::started) << result.error;
  std::vector<nlohmann::json> selects = portal.calls("SelectSources");
  ASSERT_EQ(selects.size(), 2u);
  EXPECT_EQ(selects[0]["restore_token"], "forgotten");
  EXPECT_FALSE(selects[1].contains("restore_token")) << "the second start shows the dialog";
  EXPECT_EQ(defaults.string(kScreenCastRestoreTokenKey), result.restoreToken);
  EXPECT_EQ(defaultsText().find("forgotten"), std::string::npos) << defaultsText();
}

TEST_F(PortalCapture, ARefusedDialogIsARefusalAndKeepsNoToken) {
  TestPortal portal(folder_, {"--refuse"});
  ASSERT_TRUE(portal.ready());
  JsonDefaultsStore defaults(defaultsFile());
  defaults.setString(kScreenCastRestoreTokenKey, "earlier");
  PortalScreenCast cast(logger_);
  ScreenCastStart result = cast.start(defaults);
  EXPECT_EQ(result.outcome, ScreenCastOutcome::refused) << result.error;
  EXPECT_FALSE(cast.isStarted());
  EXPECT_EQ(defaults.string(kScreenCastRestoreTokenKey), std::nullopt);
  // A refusal is the user's answer: it is not asked again by itself.
  EXPECT_EQ(portal.calls("Start").size(), 1u);
  EXPECT_EQ(cast.openPipeWireRemote(), -1);
}

TEST_F(PortalCapture, NoPortalOnTheBusIsAFailureNotARefusal) {
  PortalScreenCast cast(logger_);
  EXPECT_FALSE(cast.available());
  ScreenCastStart result = cast.start(std::nullopt, std::chrono::seconds(5));
  EXPECT_EQ(result.outcome, ScreenCastOutcome::failed);
  EXPECT_FALSE(result.error.empty());
}

// Frames a stream delivered, collected from PipeWire's thread.
struct FrameLog {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<VideoFrame> frames;

  DisplayStream::Output output() {
    return [this](VideoFrame frame) {
      std::lock_guard<std::mutex> lock(mutex);
      frames.push_back(std::move(frame));
      arrived.notify_all();
    };
  }
  bool waitFor(std::size_t count, std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(mutex);
    return arrived.wait_for(lock, limit, [&] { return frames.size() >= count; });
  }
  std::size_t size() {
    std::lock_guard<std::mutex> lock(mutex);
    return frames.size();
  }
};

struct Pixel {
  int blue, green, red;
};

Pixel pixelAt(const VideoFrame& frame, int x, int y) {
  const std::uint8_t* p = frame.pixels->data() + std::size_t(y) * frame.stride + x * 4;
  return Pixel{p[0], p[1], p[2]};
}

TEST_F(PortalCapture, TheStreamDeliversTheTestPictureInBlueGreenRedOrderOnTheMonotonicClock) {
  TestPortal portal(folder_);
  ASSERT_TRUE(portal.ready());
  PortalScreenCast cast(logger_);
  ScreenCastStart start = cast.start(std::nullopt);
  ASSERT_EQ(start.outcome, ScreenCastOutcome::started) << start.error;
  int fd = cast.openPipeWireRemote();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(portal.calls("OpenPipeWireRemote").size(), 1u);

  StreamConfiguration configuration;
  configuration.width = start.width;
  configuration.height = start.height;
  std::string stopped;
  std::unique_ptr<DisplayStream> stream = makePipeWireDisplayStream(
      logger_, fd, start.node, configuration, [&](std::string error) { stopped = error; });
  FrameLog log;
  CaptureTime before = monotonicNow();
  ASSERT_NO_THROW(stream->startCapture(log.output()));
  ASSERT_TRUE(log.waitFor(10, std::chrono::seconds(5))) << "frames: " << log.size();
  stream->stopCapture();
  CaptureTime after = monotonicNow();
  std::size_t delivered = log.size();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(log.size(), delivered) << "no frame after stopCapture";
  EXPECT_EQ(stopped, "") << "stopping is not an error";

  CaptureTime previous = 0;
  for (const VideoFrame& frame : log.frames) {
    ASSERT_TRUE(frame.isValid());
    EXPECT_EQ(frame.width, 320);
    EXPECT_EQ(frame.height, 240);
    EXPECT_EQ(frame.status, FrameStatus::complete);
    EXPECT_GT(frame.timestamp, previous);
    EXPECT_GE(frame.timestamp, before - 1'000'000'000);
    EXPECT_LE(frame.timestamp, after);
    previous = frame.timestamp;
  }
  // The SMPTE bars, left to right: white, yellow, cyan, green, magenta,
  // red, blue, each 320/7 pixels wide. Bytes are blue, green, red.
  const VideoFrame& last = log.frames.back();
  Pixel white = pixelAt(last, 20, 40);
  Pixel yellow = pixelAt(last, 66, 40);
  Pixel red = pixelAt(last, 251, 40);
  Pixel blue = pixelAt(last, 297, 40);
  EXPECT_GT(white.red, 160);
  EXPECT_GT(white.green, 160);
  EXPECT_GT(white.blue, 160);
  EXPECT_GT(yellow.red, 160);
  EXPECT_GT(yellow.green, 160);
  EXPECT_LT(yellow.blue, 40);
  EXPECT_GT(red.red, 160);
  EXPECT_LT(red.green, 40);
  EXPECT_LT(red.blue, 40);
  EXPECT_GT(blue.blue, 160);
  EXPECT_LT(blue.red, 40);
  EXPECT_LT(blue.green, 40);
}

TEST_F(PortalCapture, FramesOfAnotherSizeAreScaledToTheTakeSize) {
  TestPortal portal(folder_, {}, 1);
  ASSERT_TRUE(portal.ready());
  PortalScreenCast cast(logger_);
  ScreenCastStart start = cast.start(std::nullopt);
  ASSERT_EQ(start.outcome, ScreenCastOutcome::started) << start.error;
  // The take began at 160x120; the monitor now sends 320x240.
  StreamConfiguration configuration;
  configuration.width = 160;
  configuration.height = 120;
  std::unique_ptr<DisplayStream> stream =
      makePipeWireDisplayStream(logger_, cast.openPipeWireRemote(), start.node, configuration, {});
  FrameLog log;
  ASSERT_NO_THROW(stream->startCapture(log.output()));
  ASSERT_TRUE(log.waitFor(3, std::chrono::seconds(5)));
  stream->stopCapture();
  for (const VideoFrame& frame : log.frames) {
    ASSERT_TRUE(frame.isValid());
    EXPECT_EQ(frame.width, 160);
    EXPECT_EQ(frame.height, 120);
  }
  Pixel red = pixelAt(log.frames.back(), 125, 20);
  EXPECT_GT(red.red, 160);
  EXPECT_LT(red.green, 40);
  EXPECT_LT(red.blue, 40);
}

// A whole take through the recorder, as the app records on Wayland: the
// portal's monitor and the test desktop's microphone into one take file.
TEST_F(PortalCapture, ATakeThroughThePortalShowsTheTestPictureWithSound) {
  ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr) << "run under scripts/desktop-env";
  TestPortal portal(folder_, {}, 2);
  ASSERT_TRUE(portal.ready());
  JsonDefaultsStore defaults(defaultsFile());
  FfmpegDurationProbe probe;
  PortalCaptureBackend backend(logger_, probe, defaults);
  ShareableContent content = backend.shareableContent();
  ASSERT_EQ(content.displays.size(), 1u);
  EXPECT_EQ(content.displays[0].width, 320);
  EXPECT_EQ(content.displays[0].height, 240);
  EXPECT_TRUE(backend.isStarted());

  BlockingMainLoop loop;
  fs::path file = folder_ / "scene-1-take-1.mov";
  {
    ScreenRecorder recorder(loop, logger_, backend);
    recorder.prepareMicrophone();
    runOnLoop(loop, recorder.startRecording(file, content));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    std::optional<RecordedTake> take = runOnLoop(loop, recorder.stopRecording());
    ASSERT_TRUE(take);
    EXPECT_NEAR(take->duration, 2.5, 0.5);
    EXPECT_GT(recorder.writer()->counts().videoWritten, 30);
  }

  nlohmann::json info = testing::probeMovie(file);
  ASSERT_TRUE(info.is_object());
  ASSERT_EQ(info["streams"].size(), 2u);
  EXPECT_EQ(info["streams"][0]["codec_name"], "h264");
  EXPECT_EQ(info["streams"][0]["width"], 320);
  EXPECT_EQ(info["streams"][0]["height"], 240);
  EXPECT_EQ(info["streams"][1]["codec_name"], "aac");
  EXPECT_GT(std::stod(info["streams"][1]["duration"].get<std::string>()), 1.5);
  // The decoded picture is the test source's bars: red, green, blue at the
  // red bar, read back in RGB by FFmpeg.
  std::string frame = testing::rgbFrameAt(file, 1);
  ASSERT_EQ(frame.size(), 320u * 240u * 3u);
  auto channel = [&](int x, int y, int c) {
    return static_cast<int>(static_cast<unsigned char>(frame[(y * 320 + x) * 3 + c]));
  };
  EXPECT_GT(channel(251, 40, 0), 150);
  EXPECT_LT(channel(251, 40, 1), 60);
  EXPECT_LT(channel(251, 40, 2), 60);
  EXPECT_GT(channel(297, 40, 2), 150);
  EXPECT_LT(channel(297, 40, 0), 60);
  // And a sound: the test microphone's tone is not silence.
  std::string volume = commandOutput("ffmpeg -v info -i '" + file.string() +
                                     "' -map 0:a -af volumedetect -f null - 2>&1");
  std::size_t mean = volume.find("mean_volume: ");
  ASSERT_NE(mean, std::string::npos) << volume;
  EXPECT_GT(std::atof(volume.c_str() + mean + 13), -40.0) << volume;
}

} // namespace
} // namespace vidorel
