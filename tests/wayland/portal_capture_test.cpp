// The Wayland capture path: fake ScreenCast portal, real PipeWire test picture
// (tests/wayland/with-pipewire).

#include "capture/pipewire_screen_source.h"
#include "capture/portal_screen_cast.h"
#include "workflow/json_defaults_store.h"

#include "wayland/fake_portal.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <time.h>

namespace vidorel {
namespace {

using testing::FakePortal;
using testing::testNode;

class PortalCapture : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_NE(testNode(2), 0u) << "run under tests/wayland/with-pipewire"; }

  Logger logger_;
  testing::TemporaryFolder folder_{"portal"};
  JsonDefaultsStore defaults_{folder_.path() / "defaults.json"};
  PortalScreenCast cast_{logger_};
};

TEST_F(PortalCapture, AsksForOneMonitorWithTheCursorAndKeepsTheRestoreToken) {
  FakePortal portal;
  ASSERT_TRUE(portal.ready());
  ASSERT_TRUE(cast_.available());
  ScreenCastStart first = cast_.start(defaults_);
  ASSERT_EQ(first.outcome, ScreenCastOutcome::started) << first.error;
  EXPECT_EQ(first.node, testNode());
  EXPECT_EQ(first.width, 320);
  EXPECT_EQ(first.height, 240);
  ASSERT_FALSE(first.restoreToken.empty());
  EXPECT_EQ(defaults_.string(kScreenCastRestoreTokenKey), first.restoreToken);

  std::vector<nlohmann::json> selects = portal.calls("SelectSources");
  ASSERT_EQ(selects.size(), 1u);
  EXPECT_EQ(selects[0]["types"], 1) << "a monitor";
  EXPECT_EQ(selects[0]["multiple"], false);
  EXPECT_EQ(selects[0]["cursor_mode"], 2) << "the cursor drawn into the frames";
  EXPECT_EQ(selects[0]["persist_mode"], 2) << "kept until revoked";
  EXPECT_FALSE(selects[0].contains("restore_token"));
  EXPECT_EQ(portal.calls("CreateSession").size(), 1u);
  EXPECT_EQ(portal.calls("Start").size(), 1u);
  cast_.close();
  EXPECT_EQ(portal.calls("Close").size(), 1u) << "the session is closed on the portal";

  // The next start hands the token back, so the desktop need not ask.
  ScreenCastStart second = cast_.start(defaults_);
  ASSERT_EQ(second.outcome, ScreenCastOutcome::started) << second.error;
  selects = portal.calls("SelectSources");
  ASSERT_EQ(selects.size(), 2u);
  EXPECT_EQ(selects[1]["restore_token"], first.restoreToken);
  EXPECT_EQ(defaults_.string(kScreenCastRestoreTokenKey), second.restoreToken);
}

TEST_F(PortalCapture, ATokenThePortalNoLongerAcceptsIsDroppedAndTheDialogShownAgain) {
  FakePortal portal({"--stale-token", "forgotten"});
  defaults_.setString(kScreenCastRestoreTokenKey, "forgotten");
  ScreenCastStart result = cast_.start(defaults_);
  ASSERT_EQ(result.outcome, ScreenCastOutcome::started) << result.error;
  std::vector<nlohmann::json> selects = portal.calls("SelectSources");
  ASSERT_EQ(selects.size(), 2u);
  EXPECT_EQ(selects[0]["restore_token"], "forgotten");
  EXPECT_FALSE(selects[1].contains("restore_token")) << "the second start shows the dialog";
  EXPECT_EQ(defaults_.string(kScreenCastRestoreTokenKey), result.restoreToken);
}

TEST_F(PortalCapture, ARefusedDialogIsARefusalAndKeepsNoToken) {
  FakePortal portal({"--refuse"});
  defaults_.setString(kScreenCastRestoreTokenKey, "earlier");
  ScreenCastStart result = cast_.start(defaults_);
  EXPECT_EQ(result.outcome, ScreenCastOutcome::refused) << result.error;
  EXPECT_FALSE(cast_.isStarted());
  EXPECT_EQ(defaults_.string(kScreenCastRestoreTokenKey), std::nullopt);
  // A refusal is the user's answer: it is not asked again by itself.
  EXPECT_EQ(portal.calls("Start").size(), 1u);
  EXPECT_EQ(cast_.openPipeWireRemote(), -1);
}

TEST_F(PortalCapture, NoPortalOnTheBusIsAFailureNotARefusal) {
  EXPECT_FALSE(cast_.available());
  ScreenCastStart result = cast_.start(std::nullopt, std::chrono::seconds(5));
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
  bool waitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    return arrived.wait_for(lock, std::chrono::seconds(5), [&] { return frames.size() >= count; });
  }
};

// A pixel of the SMPTE bars (bytes B, G, R): each channel full or none.
void expectColour(const VideoFrame& frame, int x, int y, bool red, bool green, bool blue) {
  const std::uint8_t* p = frame.pixels->data() + std::size_t(y) * frame.stride + x * 4;
  int channels[] = {p[2], p[1], p[0]};
  bool wanted[] = {red, green, blue};
  for (int c = 0; c < 3; ++c)
    EXPECT_TRUE(wanted[c] ? channels[c] > 160 : channels[c] < 40)
        << "channel " << c << " at " << x << "," << y << ": " << channels[c];
}

CaptureTime monotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<CaptureTime>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// At its size or scaled to the take's (the monitor changed size meanwhile).
TEST_F(PortalCapture, TheStreamDeliversTheTestPictureInBlueGreenRedOrderOnTheMonotonicClock) {
  for (int size : {320, 160}) {
    SCOPED_TRACE(size);
    FakePortal portal({}, size == 320 ? 0 : 1);
    ScreenCastStart start = cast_.start(std::nullopt);
    ASSERT_EQ(start.outcome, ScreenCastOutcome::started) << start.error;
    int fd = cast_.openPipeWireRemote();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(portal.calls("OpenPipeWireRemote").size(), 1u);
    StreamConfiguration configuration;
    configuration.width = size;
    configuration.height = size * 3 / 4;
    std::string stopped;
    std::unique_ptr<DisplayStream> stream = makePipeWireDisplayStream(
        logger_, fd, start.node, configuration, [&](std::string error) { stopped = error; });
    FrameLog log;
    CaptureTime before = monotonicNow();
    ASSERT_NO_THROW(stream->startCapture(log.output()));
    ASSERT_TRUE(log.waitFor(10));
    stream->stopCapture();
    CaptureTime after = monotonicNow();
    std::size_t delivered = log.frames.size();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(log.frames.size(), delivered) << "no frame after stopCapture";
    EXPECT_EQ(stopped, "") << "stopping is not an error";
    CaptureTime previous = 0;
    for (const VideoFrame& frame : log.frames) {
      ASSERT_TRUE(frame.isValid());
      EXPECT_EQ(frame.width, size);
      EXPECT_EQ(frame.height, size * 3 / 4);
      EXPECT_EQ(frame.status, FrameStatus::complete);
      EXPECT_GT(frame.timestamp, previous);
      EXPECT_GE(frame.timestamp, before - 1'000'000'000);
      EXPECT_LE(frame.timestamp, after);
      previous = frame.timestamp;
    }
    // Sevenths: white, yellow, cyan, green, magenta, red, blue.
    int bar = size / 7;
    expectColour(log.frames.back(), bar / 2, 40 * size / 320, true, true, true);
    expectColour(log.frames.back(), bar + bar / 2, 40 * size / 320, true, true, false);
    expectColour(log.frames.back(), 5 * bar + bar / 2, 40 * size / 320, true, false, false);
    expectColour(log.frames.back(), 6 * bar + bar / 2, 40 * size / 320, false, false, true);
    cast_.close();
  }
}

} // namespace
} // namespace vidorel
