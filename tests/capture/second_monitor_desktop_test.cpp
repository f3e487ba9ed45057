#include "fakes/shell_command.h"
#include "support/movie_tools.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace vidorel {
namespace {

using testing::runShellCommand;

// Splits the test screen into two RandR 1.5 monitors and paints each half
// a colour of its own.
class TwoMonitors {
public:
  TwoMonitors() {
    connection_ = xcb_connect(nullptr, nullptr);
    screen_ = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    std::free(xcb_randr_query_version_reply(connection_, xcb_randr_query_version(connection_, 1, 5),
                                            nullptr));
    // Through xrandr: libxcb's SetMonitor request is refused as too long.
    half_ = screen_->width_in_pixels / 2;
    define("LEFT", 0);
    define("RIGHT", half_);
    paint(0, 0xff0000);
    paint(half_, 0x00ff00);
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }
  // The X server is shared with the other desktop tests: they see one
  // screen again.
  ~TwoMonitors() {
    runShellCommand("xrandr --delmonitor LEFT; xrandr --delmonitor RIGHT");
    xcb_disconnect(connection_);
  }
  TwoMonitors(const TwoMonitors&) = delete;
  TwoMonitors& operator=(const TwoMonitors&) = delete;

  int half() const { return half_; }
  int height() const { return screen_->height_in_pixels; }
  // Whether the server took the monitors (RandR 1.5).
  bool defined() {
    xcb_randr_get_monitors_reply_t* reply = xcb_randr_get_monitors_reply(
        connection_, xcb_randr_get_monitors(connection_, screen_->root, 1), nullptr);
    bool both = reply && reply->nMonitors >= 2;
    std::free(reply);
    return both;
  }

private:
  void define(const char* name, int x) {
    std::string geometry = std::to_string(half_) + "/300x" +
                           std::to_string(screen_->height_in_pixels) + "/200+" + std::to_string(x) +
                           "+0";
    runShellCommand(std::string("xrandr --setmonitor ") + name + " " + geometry + " none");
  }
  void paint(int x, std::uint32_t rgb) {
    xcb_window_t window = xcb_generate_id(connection_);
    std::uint32_t values[] = {rgb, 1};
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, screen_->root,
                      static_cast<std::int16_t>(x), 0, static_cast<std::uint16_t>(half_),
                      screen_->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen_->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_map_window(connection_, window);
  }

  xcb_connection_t* connection_;
  xcb_screen_t* screen_;
  int half_ = 0;
};

TEST(SecondMonitorDesktopTest, ATakeOfTheSecondMonitorShowsOnlyIt) {
  TwoMonitors monitors;
  ASSERT_TRUE(monitors.defined()) << "the X server keeps no RandR 1.5 monitors";
  std::string binary = "'" VIDOREL_BINARY "'";
  testing::CommandResult listed = runShellCommand(binary + " record --list-screens");
  ASSERT_EQ(listed.status, 0) << listed.output;
  std::string right = "RIGHT " + std::to_string(monitors.half()) + "x" +
                      std::to_string(monitors.height()) + "+" + std::to_string(monitors.half()) +
                      "+0\n";
  EXPECT_NE(listed.output.find(right), std::string::npos) << listed.output;
  EXPECT_NE(listed.output.find(" (default)\n"), std::string::npos) << listed.output;

  std::filesystem::path folder = testing::makeTemporaryFolder("second-monitor");
  std::filesystem::path take = folder / "take.mov";
  testing::CommandResult recorded =
      runShellCommand(binary + " record '" + take.string() + "' --seconds 1 --screen RIGHT");
  ASSERT_EQ(recorded.status, 0) << recorded.output;
  testing::ShownMovie shown = testing::showWithFfmpeg(take);
  EXPECT_EQ(shown.width, monitors.half());
  EXPECT_EQ(shown.height, monitors.height());
  ASSERT_FALSE(shown.frames.empty());
  // Green throughout (BT.709 luma 173; red would be 63), but where the
  // pointer is drawn.
  const std::string& frame = shown.frames.back();
  int pixels = shown.width * shown.height;
  int green = 0;
  for (int i = 0; i < pixels; ++i)
    green += std::abs(static_cast<unsigned char>(frame[i]) - 173) <= 4;
  EXPECT_GT(green, pixels * 98 / 100);

  EXPECT_NE(
      runShellCommand(binary + " record '" + take.string() + "' --seconds 1 --screen NONE").status,
      0);
  std::filesystem::remove_all(folder);
}

} // namespace
} // namespace vidorel
