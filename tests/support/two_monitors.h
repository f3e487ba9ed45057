#pragma once

#include "base/format.h"
#include "fakes/shell_command.h"

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <tuple>

namespace vidorel::testing {

// Splits the test screen into two RandR 1.5 monitors (through xrandr:
// libxcb's SetMonitor request is refused as too long), each half a colour of
// its own; the server is shared with the other desktop tests, which see one
// screen again afterwards.
class TwoMonitors {
public:
  TwoMonitors() : connection_(xcb_connect(nullptr, nullptr)) {
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    half = screen->width_in_pixels / 2;
    height = screen->height_in_pixels;
    for (auto [name, x, rgb] : {std::tuple{"LEFT", 0, 0xff0000u}, {"RIGHT", half, 0x00ff00u}}) {
      testing::runShellCommand(
          formatString("xrandr --setmonitor %s %d/300x%d/200+%d+0 none", name, half, height, x));
      xcb_window_t window = xcb_generate_id(connection_);
      std::uint32_t values[] = {rgb, 1};
      xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, screen->root,
                        static_cast<std::int16_t>(x), 0, static_cast<std::uint16_t>(half),
                        static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                        screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
      xcb_map_window(connection_, window);
    }
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }
  ~TwoMonitors() {
    testing::runShellCommand("xrandr --delmonitor LEFT; xrandr --delmonitor RIGHT");
    xcb_disconnect(connection_);
  }
  int half = 0;
  int height = 0;

private:
  xcb_connection_t* connection_;
};

} // namespace vidorel::testing
