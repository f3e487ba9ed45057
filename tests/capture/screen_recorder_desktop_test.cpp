#include "capture/screen_recorder.h"
#include "capture/x11_screen_source.h"

#include "base/blocking_main_loop.h"
#include "base/format.h"
#include "fakes/run_on_loop.h"
#include "support/movie_tools.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <xcb/composite.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unistd.h>

namespace vidorel {
namespace {

using testing::runOnLoop;

// Test windows on a connection of our own, painted by the server from
// their background colour.
class Windows {
public:
  Windows()
      : connection_(xcb_connect(nullptr, nullptr)),
        screen_(xcb_setup_roots_iterator(xcb_get_setup(connection_)).data) {}
  ~Windows() { xcb_disconnect(connection_); }

  int width() const { return screen_->width_in_pixels; }
  int height() const { return screen_->height_in_pixels; }

  // pid 0: no _NET_WM_PID at all.
  xcb_window_t open(int x, int y, int w, int h, std::uint32_t rgb, std::uint32_t pid) {
    xcb_window_t window = xcb_generate_id(connection_);
    std::uint32_t values[] = {rgb, 1};
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, screen_->root, x, y, w, h, 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen_->root_visual,
                      XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    if (pid != 0)
      xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window, atom("_NET_WM_PID"),
                          XCB_ATOM_CARDINAL, 32, 1, &pid);
    xcb_map_window(connection_, window);
    sync();
    return window;
  }
  void move(xcb_window_t window, int x, int y) {
    std::uint32_t values[] = {static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y)};
    xcb_configure_window(connection_, window, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, values);
    sync();
  }
  void close(xcb_window_t window) {
    xcb_destroy_window(connection_, window);
    sync();
  }
  void sync() {
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }

  // A desktop picture of vertical stripes as the root's background (none:
  // black); published as _XROOTPMAP_ID too when asked, as wallpaper setters do.
  void setDesktopPicture(bool picture, bool publish) {
    if (picture_)
      xcb_free_pixmap(connection_, picture_);
    picture_ = 0;
    std::uint32_t black = screen_->black_pixel;
    xcb_change_window_attributes(connection_, screen_->root, XCB_CW_BACK_PIXEL, &black);
    xcb_delete_property(connection_, screen_->root, atom("_XROOTPMAP_ID"));
    if (picture) {
      picture_ = xcb_generate_id(connection_);
      xcb_create_pixmap(connection_, screen_->root_depth, picture_, screen_->root, width(),
                        height());
      xcb_gcontext_t gc = xcb_generate_id(connection_);
      xcb_create_gc(connection_, gc, picture_, 0, nullptr);
      for (int x = 0; x < width(); x += kStripe) {
        std::uint32_t colour = stripeColour(x);
        xcb_change_gc(connection_, gc, XCB_GC_FOREGROUND, &colour);
        xcb_rectangle_t stripe = {static_cast<std::int16_t>(x), 0, kStripe,
                                  static_cast<std::uint16_t>(height())};
        xcb_poly_fill_rectangle(connection_, picture_, gc, 1, &stripe);
      }
      xcb_free_gc(connection_, gc);
      xcb_change_window_attributes(connection_, screen_->root, XCB_CW_BACK_PIXMAP, &picture_);
      if (publish)
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, screen_->root,
                            atom("_XROOTPMAP_ID"), XCB_ATOM_PIXMAP, 32, 1, &picture_);
    }
    xcb_clear_area(connection_, 0, screen_->root, 0, 0, 0, 0);
    sync();
  }
  static constexpr int kStripe = 64;
  static std::uint32_t stripeColour(int x) { return (x / kStripe) % 2 ? 0xd0a040 : 0x4060d0; }

  // Stands in for a compositing manager: owns its selection and redirects
  // every window itself (and then draws nothing, which does not matter here).
  void actAsCompositor() {
    xcb_window_t owner = xcb_generate_id(connection_);
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, owner, screen_->root, -1, -1, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_set_selection_owner(connection_, owner, atom("_NET_WM_CM_S0"), XCB_CURRENT_TIME);
    xcb_composite_redirect_subwindows(connection_, screen_->root, XCB_COMPOSITE_REDIRECT_MANUAL);
    sync();
  }

private:
  xcb_atom_t atom(const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection_, xcb_intern_atom(connection_, 0, std::strlen(name), name), nullptr);
    xcb_atom_t value = reply ? reply->atom : XCB_NONE;
    std::free(reply);
    return value;
  }

  xcb_connection_t* connection_;
  xcb_screen_t* screen_;
  xcb_pixmap_t picture_ = 0;
};

// The colour of a pixel of packed RGB frames, as 0xrrggbb.
std::uint32_t pixelAt(const std::string& rgb, int width, int x, int y) {
  const auto* p =
      reinterpret_cast<const unsigned char*>(rgb.data()) + (static_cast<size_t>(y) * width + x) * 3;
  return (p[0] << 16) | (p[1] << 8) | p[2];
}

// Whether two colours are alike but for the encoding's error.
::testing::AssertionResult alike(std::uint32_t got, std::uint32_t want) {
  for (int shift : {0, 8, 16})
    if (std::abs(static_cast<int>((got >> shift) & 0xff) -
                 static_cast<int>((want >> shift) & 0xff)) > 24)
      return ::testing::AssertionFailure() << std::hex << got << " instead of " << want;
  return ::testing::AssertionSuccess();
}

class ScreenRecorderDesktopTest : public ::testing::Test {
public:
  testing::TemporaryFolder temporary{"recorder"};
  const std::filesystem::path& folder = temporary.path();
  Logger logger;
  FfmpegDurationProbe probe;
  X11CaptureBackend backend{logger, probe};
  BlockingMainLoop loop;
};

TEST_F(ScreenRecorderDesktopTest, AnimatedTakeHasVideoAtScreenSizeAndSoundToItsLastFrame) {
  Windows windows;
  ShareableContent content = x11ShareableContent();
  ASSERT_FALSE(content.displays.empty());
  EXPECT_EQ(content.displays[0].width, windows.width());
  EXPECT_EQ(content.displays[0].height, windows.height());
  ScreenRecorder recorder(loop, logger, backend);
  recorder.prepareMicrophone();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  auto file = folder / "scene-1-take-1.mov";
  runOnLoop(loop, recorder.startRecording(file, std::nullopt));
  xcb_window_t box = windows.open(0, 0, 100, 100, 0xff8000, 0);
  for (int i = 0; i < 90; ++i) {
    windows.move(box, (i * 13) % (windows.width() - 100), (i * 7) % (windows.height() - 100));
    std::this_thread::sleep_for(std::chrono::milliseconds(33));
  }
  std::optional<RecordedTake> take = runOnLoop(loop, recorder.stopRecording());
  windows.close(box);
  ASSERT_TRUE(take);
  EXPECT_EQ(take->url, file);
  EXPECT_NEAR(take->duration, 3.0, 0.4);
  EXPECT_GT(recorder.writer()->counts().videoWritten, 60);

  nlohmann::json info = testing::probeMovie(file);
  ASSERT_TRUE(info.is_object());
  ASSERT_EQ(info["streams"].size(), 2u);
  EXPECT_EQ(info["streams"][0]["codec_name"], "h264");
  EXPECT_EQ(info["streams"][0]["width"], windows.width());
  EXPECT_EQ(info["streams"][0]["height"], windows.height());
  EXPECT_EQ(info["streams"][1]["codec_name"], "aac");
  double video = std::stod(info["streams"][0]["duration"].get<std::string>());
  double sound = std::stod(info["streams"][1]["duration"].get<std::string>());
  // One AAC frame (21 ms) of rounding either way.
  EXPECT_NEAR(sound, video, 0.045) << "video " << video << " s, sound " << sound << " s";
  // And it is the microphone's tone up to the end, not padding. The last
  // microphone buffer (10 ms) may end before the last frame's tick does.
  std::vector<short> samples = testing::decodedAudio(file);
  ASSERT_GT(samples.size(), static_cast<size_t>((video - 0.01) * 48000));
  auto last = samples.begin() + static_cast<long>((video - 0.06) * 48000);
  EXPECT_GT(
      std::count_if(last, last + 48 * 50, [](short sample) { return std::abs(sample) > 1000; }),
      48 * 50 / 4);
}

TEST_F(ScreenRecorderDesktopTest, StillScreenAddsNoFrames) {
  Windows windows;
  ScreenRecorder recorder(loop, logger, backend);
  auto file = folder / "still.mov";
  runOnLoop(loop, recorder.startRecording(file, std::nullopt));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  recorder.sampleQueue().drain();
  std::int64_t before = recorder.writer()->counts().videoWritten;
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  recorder.sampleQueue().drain();
  std::int64_t still = recorder.writer()->counts().videoWritten - before;
  // Now something changes.
  xcb_window_t box = windows.open(10, 10, 50, 50, 0x00ff00, 0);
  for (int i = 0; i < 10; ++i) {
    windows.move(box, 10 + i * 20, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
  }
  recorder.sampleQueue().drain();
  std::int64_t moving = recorder.writer()->counts().videoWritten - before - still;
  std::optional<RecordedTake> take = runOnLoop(loop, recorder.stopRecording());
  windows.close(box);
  EXPECT_GE(before, 1);
  EXPECT_EQ(still, 0);
  EXPECT_GE(moving, 5);
  ASSERT_TRUE(take);
  // The still stretch is in the timeline all the same.
  EXPECT_GT(take->duration, 2.0);
}

TEST_F(ScreenRecorderDesktopTest, AChangeMadeWhilePausedShowsFromTheResumeOn) {
  Windows windows;
  int w = windows.width();
  int h = windows.height();
  xcb_window_t slide = windows.open(0, 0, w, h, 0x2040c0, 4242);
  ScreenRecorder recorder(loop, logger, backend);
  auto file = folder / "resume.mov";
  runOnLoop(loop, recorder.startRecording(file, std::nullopt));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  recorder.pause();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  // The next slide, shown while paused; then nothing moves any more.
  xcb_window_t next = windows.open(0, 0, w, h, 0xe0c020, 4242);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  recorder.resume();
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  std::optional<RecordedTake> take = runOnLoop(loop, recorder.stopRecording());
  windows.close(next);
  windows.close(slide);
  ASSERT_TRUE(take);
  // The last frame shows the next slide, the first one the slide before
  // (away from the middle, where the pointer stands).
  std::string rgb = testing::lastRgbFrame(file, static_cast<size_t>(w) * h * 3);
  ASSERT_EQ(rgb.size(), static_cast<size_t>(w) * h * 3);
  EXPECT_TRUE(alike(pixelAt(rgb, w, w / 4, h / 4), 0xe0c020));
  EXPECT_TRUE(alike(pixelAt(testing::rgbFrameAt(file, 0), w, w / 4, h / 4), 0x2040c0));
}

// Our own windows are left out: where ours stands, the take shows what the
// user would see without it, part of another program's window and the
// desktop picture beside it; a window of another program over ours, or
// without a pid, is recorded.
void expectDesktopBeneathOurWindow(ScreenRecorderDesktopTest& test, bool publishPicture,
                                   bool compositor) {
  Windows windows;
  int w = windows.width();
  windows.setDesktopPicture(true, publishPicture);
  Windows manager;
  if (compositor)
    manager.actAsCompositor();
  xcb_window_t other = windows.open(100, 100, 200, 200, 0x00c000, 4242);
  // The status panel's size, over the other window's right part. (Opened
  // first: the stand-in compositor draws nothing, so the screen never
  // changes and the take's first frame is its only one.)
  xcb_window_t own =
      windows.open(200, 150, 220, 110, 0xff00ff, static_cast<std::uint32_t>(getpid()));
  xcb_window_t above = windows.open(380, 230, 60, 60, 0xff0000, 4242);
  xcb_window_t unnamed = windows.open(20, 20, 60, 60, 0x0000ff, 0);
  ScreenRecorder recorder(test.loop, test.logger, test.backend);
  auto file = test.folder / formatString("beneath-%d-%d.mov", publishPicture, compositor);
  runOnLoop(test.loop, recorder.startRecording(file, std::nullopt));
  for (int i = 0; i < 10; ++i) {
    windows.move(own, 200 + (i % 2) * 2, 150);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
  }
  std::optional<RecordedTake> take = runOnLoop(test.loop, recorder.stopRecording());
  for (xcb_window_t window : {unnamed, above, own, other})
    windows.close(window);
  windows.setDesktopPicture(false, false);
  ASSERT_TRUE(take);
  std::string rgb = testing::lastRgbFrame(file, static_cast<size_t>(w) * windows.height() * 3);
  ASSERT_EQ(rgb.size(), static_cast<size_t>(w) * windows.height() * 3);
  // The other window beneath ours, and the desktop picture beside it, stripe
  // by stripe.
  EXPECT_TRUE(alike(pixelAt(rgb, w, 250, 200), 0x00c000));
  EXPECT_TRUE(alike(pixelAt(rgb, w, 280, 240), 0x00c000));
  for (int x : {330, 350, 390, 410})
    for (int y : {160, 200})
      EXPECT_TRUE(alike(pixelAt(rgb, w, x, y), Windows::stripeColour(x))) << x << "," << y;
  EXPECT_TRUE(alike(pixelAt(rgb, w, 400, 250), 0xff0000));
  // (Away from ours, the stand-in compositor shows nothing.)
  if (!compositor) {
    EXPECT_TRUE(alike(pixelAt(rgb, w, 50, 50), 0x0000ff));
  }
}

TEST_F(ScreenRecorderDesktopTest, UnderOurWindowIsThePublishedPictureOrTheRootBackground) {
  // Xvfb resets itself when its last client leaves, refusing connections
  // for a moment: one connection held across the cases keeps it up.
  Windows held;
  const std::pair<bool, bool> cases[] = {{true, false}, {false, false}, {true, true}};
  for (auto [publishPicture, compositor] : cases) {
    SCOPED_TRACE(std::string(publishPicture ? "published picture" : "root background") +
                 (compositor ? ", with a compositor" : ""));
    expectDesktopBeneathOurWindow(*this, publishPicture, compositor);
  }
}

} // namespace
} // namespace vidorel
