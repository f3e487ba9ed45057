#pragma once

// The X11 screen source's own pieces, shared by its files: the stream of
// one display (grab loop and cursor in x11_screen_source.cpp, our own
// windows left out in x11_own_windows.cpp) and the display list
// (x11_displays.cpp). Nothing outside capture includes this.

#include "capture/bgra_to_i420.h"
#include "capture/screen_recorder.h"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace vidorel {

template <typename T> struct FreeReply {
  void operator()(T* reply) const { std::free(reply); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeReply<T>>;

struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool empty() const { return width <= 0 || height <= 0; }
  Rect intersected(const Rect& other) const {
    int left = std::max(x, other.x);
    int top = std::max(y, other.y);
    int right = std::min(x + width, other.x + other.width);
    int bottom = std::min(y + height, other.y + other.height);
    return {left, top, right - left, bottom - top};
  }
};

xcb_screen_t* screenOf(xcb_connection_t* connection, int number);

// The monitors RandR 1.5 lists, else the active RandR outputs, else the
// whole screen; in the server's order.
std::vector<DisplayInfo> x11Displays(xcb_connection_t* connection, xcb_screen_t* screen);

class X11DisplayStream final : public DisplayStream {
public:
  X11DisplayStream(DisplayInfo display, StreamConfiguration configuration,
                   std::function<void(std::string)> didStop)
      : display_(std::move(display)), configuration_(configuration), didStop_(std::move(didStop)) {}
  ~X11DisplayStream() override {
    stopCapture();
    disconnect();
  }

  void startCapture(Output output) override;
  void stopCapture() override;

private:
  struct TopLevel {
    xcb_window_t window;
    Rect outer;
    bool own;
  };

  using CursorImage = Reply<xcb_xfixes_get_cursor_image_reply_t>;

  void connect();
  void disconnect();
  xcb_atom_t internAtom(const char* name);
  void run();
  std::uint8_t* grab(const std::vector<RowSpan>& bands);
  std::optional<xcb_xfixes_fetch_region_cookie_t> askDamage();
  std::optional<std::vector<Rect>>
  readDamage(std::optional<xcb_xfixes_fetch_region_cookie_t> cookie);
  std::vector<RowSpan> changedBands(const std::vector<Rect>& areas) const;
  bool grabChanged(VideoFrame& frame, bool& cursorChanged);
  std::shared_ptr<std::vector<std::uint8_t>> takeBuffer();
  bool isOwnWindow(xcb_window_t window);
  std::optional<std::uint32_t> pidOf(xcb_window_t window);
  std::vector<TopLevel> topLevels();
  // The areas of our windows on this display, in screen coordinates.
  std::vector<Rect> ownAreas(const std::vector<TopLevel>& windows) const;
  void leaveOutOwnWindows(std::uint8_t* frame, const std::vector<TopLevel>& windows);
  void paintWindow(std::uint8_t* frame, const TopLevel& window, const Rect& area);
  bool copyDrawable(std::uint8_t* frame, xcb_drawable_t drawable, int sourceX, int sourceY,
                    const Rect& part);
  void paintBackground(std::uint8_t* frame, const Rect& area);
  bool paintRootPixmap(std::uint8_t* frame, const Rect& area);
  bool paintRootBackground(std::uint8_t* frame, const Rect& area);
  // The pointer now; changed tells whether it moved or changed shape.
  CursorImage fetchCursor(bool& changed);
  CursorImage readCursor(std::optional<xcb_xfixes_get_cursor_image_cookie_t> cookie, bool& changed);
  std::optional<Rect> cursorArea(const CursorImage& cursor) const;
  void drawCursor(std::uint8_t* frame, const CursorImage& cursor);
  bool waitForDamage(CaptureTime until);

  DisplayInfo display_;
  StreamConfiguration configuration_;
  std::function<void(std::string)> didStop_;
  Output output_;

  // The size frames are delivered at.
  int outWidth_ = 0;
  int outHeight_ = 0;
  xcb_connection_t* connection_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
  xcb_shm_seg_t segment_ = 0;
  std::uint8_t* shared_ = nullptr;
  std::size_t sharedSize_ = 0;
  xcb_damage_damage_t damage_ = 0;
  // Where the screen changed since the last grab, taken from damage_.
  xcb_xfixes_region_t damageRegion_ = 0;
  std::uint8_t damageEvent_ = 0;
  bool composite_ = false;
  bool xfixes_ = false;
  xcb_atom_t pidAtom_ = XCB_NONE;
  // The desktop picture that setters publish on the root window.
  xcb_atom_t rootPixmapAtoms_[2] = {XCB_NONE, XCB_NONE};
  // A window of ours whose background is the root's (ParentRelative),
  // redirected so that nobody draws it: its pixmap holds the root's
  // background where it is placed.
  xcb_window_t backgroundWindow_ = XCB_NONE;
  bool backgroundRefused_ = false;
  Rect backgroundPlace_;
  std::map<xcb_window_t, bool> ownCache_;
  std::uint32_t cursorSerial_ = 0;
  int cursorX_ = -1;
  int cursorY_ = -1;
  // Drawn into the last picture, so grabbed again with the next one.
  std::vector<Rect> lastDrawnAreas_;

  // The screen's pixels when the server cannot share memory with us.
  std::vector<std::uint8_t> unshared_;
  std::vector<std::shared_ptr<std::vector<std::uint8_t>>> pool_;
  std::shared_ptr<const std::vector<std::uint8_t>> lastPixels_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

} // namespace vidorel
