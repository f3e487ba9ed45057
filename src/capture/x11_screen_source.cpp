#include "capture/x11_screen_source.h"

#include "capture/bgra_to_i420.h"
#include "capture/capture_error.h"
#include "capture/ffmpeg_take_writer.h"
#include "capture/pulse_audio_source.h"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <thread>

namespace vidorel {

namespace {

CaptureTime monotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<CaptureTime>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

template <typename T> struct FreeReply {
  void operator()(T* reply) const { std::free(reply); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeReply<T>>;

xcb_screen_t* screenOf(xcb_connection_t* connection, int number) {
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; it.rem > 0; ++i, xcb_screen_next(&it))
    if (i == number)
      return it.data;
  return nullptr;
}

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

// The first active RandR output, else the whole screen.
DisplayInfo firstDisplay(xcb_connection_t* connection, xcb_screen_t* screen) {
  DisplayInfo whole{"screen", 0, 0, screen->width_in_pixels, screen->height_in_pixels};
  const xcb_query_extension_reply_t* randr = xcb_get_extension_data(connection, &xcb_randr_id);
  if (!randr || !randr->present)
    return whole;
  Reply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
      connection, xcb_randr_query_version(connection, 1, 3), nullptr));
  if (!version || (version->major_version == 1 && version->minor_version < 3))
    return whole;
  Reply<xcb_randr_get_screen_resources_current_reply_t> resources(
      xcb_randr_get_screen_resources_current_reply(
          connection, xcb_randr_get_screen_resources_current(connection, screen->root), nullptr));
  if (!resources)
    return whole;
  xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(resources.get());
  int count = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
  for (int i = 0; i < count; ++i) {
    Reply<xcb_randr_get_output_info_reply_t> output(xcb_randr_get_output_info_reply(
        connection, xcb_randr_get_output_info(connection, outputs[i], resources->config_timestamp),
        nullptr));
    if (!output || output->connection != XCB_RANDR_CONNECTION_CONNECTED || output->crtc == 0)
      continue;
    Reply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(
        connection, xcb_randr_get_crtc_info(connection, output->crtc, resources->config_timestamp),
        nullptr));
    if (!crtc || crtc->width == 0 || crtc->height == 0)
      continue;
    std::string name(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(output.get())),
                     xcb_randr_get_output_info_name_length(output.get()));
    return {name, crtc->x, crtc->y, crtc->width, crtc->height};
  }
  return whole;
}

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

  void connect();
  void disconnect();
  xcb_atom_t internAtom(const char* name);
  void run();
  std::uint8_t* grab();
  std::shared_ptr<std::vector<std::uint8_t>> takeBuffer();
  bool isOwnWindow(xcb_window_t window);
  std::optional<std::uint32_t> pidOf(xcb_window_t window);
  std::vector<TopLevel> topLevels();
  void leaveOutOwnWindows(std::uint8_t* frame);
  void paintWindow(std::uint8_t* frame, const TopLevel& window, const Rect& area);
  bool copyDrawable(std::uint8_t* frame, xcb_drawable_t drawable, int sourceX, int sourceY,
                    const Rect& part);
  void paintBackground(std::uint8_t* frame, const Rect& area);
  bool paintRootPixmap(std::uint8_t* frame, const Rect& area);
  bool paintRootBackground(std::uint8_t* frame, const Rect& area);
  bool drawCursor(std::uint8_t* frame, bool& changed);
  bool waitForDamage(CaptureTime until);

  DisplayInfo display_;
  StreamConfiguration configuration_;
  std::function<void(std::string)> didStop_;
  Output output_;

  xcb_connection_t* connection_ = nullptr;
  xcb_screen_t* screen_ = nullptr;
  xcb_shm_seg_t segment_ = 0;
  std::uint8_t* shared_ = nullptr;
  std::size_t sharedSize_ = 0;
  xcb_damage_damage_t damage_ = 0;
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

  // The screen's pixels when the server cannot share memory with us.
  std::vector<std::uint8_t> unshared_;
  std::vector<std::shared_ptr<std::vector<std::uint8_t>>> pool_;
  std::shared_ptr<const std::vector<std::uint8_t>> lastPixels_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

void X11DisplayStream::connect() {
  int screenNumber = 0;
  connection_ = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(connection_)) {
    disconnect();
    throw CaptureFailure(RecorderError::noDisplay);
  }
  screen_ = screenOf(connection_, screenNumber);
  if (!screen_) {
    disconnect();
    throw CaptureFailure(RecorderError::noDisplay);
  }
  // A display that is gone or changed since the content was listed is
  // clipped to the screen.
  Rect bounds =
      Rect{display_.x, display_.y, configuration_.width, configuration_.height}.intersected(
          Rect{0, 0, screen_->width_in_pixels, screen_->height_in_pixels});
  if (bounds.empty()) {
    disconnect();
    throw CaptureFailure(RecorderError::noDisplay);
  }
  display_.x = bounds.x;
  display_.y = bounds.y;
  configuration_.width = bounds.width;
  configuration_.height = bounds.height;

  const xcb_query_extension_reply_t* shm = xcb_get_extension_data(connection_, &xcb_shm_id);
  if (shm && shm->present) {
    sharedSize_ = static_cast<std::size_t>(configuration_.width) * configuration_.height * 4;
    int id = shmget(IPC_PRIVATE, sharedSize_, IPC_CREAT | 0600);
    if (id >= 0) {
      void* address = shmat(id, nullptr, 0);
      if (address != reinterpret_cast<void*>(-1)) {
        segment_ = xcb_generate_id(connection_);
        xcb_generic_error_t* error =
            xcb_request_check(connection_, xcb_shm_attach_checked(connection_, segment_, id, 0));
        if (error) {
          std::free(error);
          shmdt(address);
          segment_ = 0;
        } else {
          shared_ = static_cast<std::uint8_t*>(address);
        }
      }
      // Freed by the system once both sides have detached.
      shmctl(id, IPC_RMID, nullptr);
    }
  }

  const xcb_query_extension_reply_t* damage = xcb_get_extension_data(connection_, &xcb_damage_id);
  if (damage && damage->present) {
    Reply<xcb_damage_query_version_reply_t> version(xcb_damage_query_version_reply(
        connection_, xcb_damage_query_version(connection_, 1, 1), nullptr));
    if (version) {
      damage_ = xcb_generate_id(connection_);
      xcb_damage_create(connection_, damage_, screen_->root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
      damageEvent_ = damage->first_event + XCB_DAMAGE_NOTIFY;
    }
  }

  const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(connection_, &xcb_xfixes_id);
  if (xfixes && xfixes->present) {
    Reply<xcb_xfixes_query_version_reply_t> version(xcb_xfixes_query_version_reply(
        connection_, xcb_xfixes_query_version(connection_, 4, 0), nullptr));
    xfixes_ = version != nullptr;
  }

  const xcb_query_extension_reply_t* composite =
      xcb_get_extension_data(connection_, &xcb_composite_id);
  if (composite && composite->present) {
    Reply<xcb_composite_query_version_reply_t> version(xcb_composite_query_version_reply(
        connection_, xcb_composite_query_version(connection_, 0, 4), nullptr));
    if (version && (version->major_version > 0 || version->minor_version >= 2)) {
      // Automatic redirection keeps the screen as it is and gives every
      // top-level window a pixmap that holds it whole, also where our own
      // windows cover it.
      xcb_composite_redirect_subwindows(connection_, screen_->root,
                                        XCB_COMPOSITE_REDIRECT_AUTOMATIC);
      composite_ = true;
    }
  }

  pidAtom_ = internAtom("_NET_WM_PID");
  rootPixmapAtoms_[0] = internAtom("_XROOTPMAP_ID");
  rootPixmapAtoms_[1] = internAtom("ESETROOT_PMAP_ID");
  xcb_flush(connection_);
}

xcb_atom_t X11DisplayStream::internAtom(const char* name) {
  Reply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
      connection_, xcb_intern_atom(connection_, 0, std::strlen(name), name), nullptr));
  return atom ? atom->atom : XCB_NONE;
}

void X11DisplayStream::disconnect() {
  if (!connection_)
    return;
  if (!xcb_connection_has_error(connection_)) {
    if (backgroundWindow_ != XCB_NONE)
      xcb_destroy_window(connection_, backgroundWindow_);
    backgroundWindow_ = XCB_NONE;
    if (composite_)
      xcb_composite_unredirect_subwindows(connection_, screen_->root,
                                          XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    if (damage_)
      xcb_damage_destroy(connection_, damage_);
    if (segment_)
      xcb_shm_detach(connection_, segment_);
    xcb_flush(connection_);
  }
  if (shared_)
    shmdt(shared_);
  shared_ = nullptr;
  xcb_disconnect(connection_);
  connection_ = nullptr;
}

void X11DisplayStream::startCapture(Output output) {
  if (thread_.joinable())
    return;
  if (!connection_)
    connect();
  output_ = std::move(output);
  stopping_ = false;
  thread_ = std::thread([this] { run(); });
}

void X11DisplayStream::stopCapture() {
  if (!thread_.joinable())
    return;
  stopping_ = true;
  thread_.join();
}

std::shared_ptr<std::vector<std::uint8_t>> X11DisplayStream::takeBuffer() {
  std::size_t size = i420Size(configuration_.width, configuration_.height);
  // A buffer that nobody else holds any more (the encoder is done with it)
  // is used again: memory stays flat however long the take.
  for (auto& buffer : pool_)
    if (buffer.use_count() == 1 && buffer->size() == size)
      return buffer;
  auto buffer = std::make_shared<std::vector<std::uint8_t>>(size);
  if (pool_.size() < 12)
    pool_.push_back(buffer);
  return buffer;
}

// The screen as it is now, 32-bit pixels a row of the display's width
// apart, in memory that is ours until the next grab (our windows are
// painted over and the pointer drawn into it there); null when the server
// refused.
std::uint8_t* X11DisplayStream::grab() {
  int width = configuration_.width;
  int height = configuration_.height;
  std::size_t size = static_cast<std::size_t>(width) * height * 4;
  if (shared_) {
    Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
        connection_,
        xcb_shm_get_image(connection_, screen_->root, display_.x, display_.y, width, height, ~0u,
                          XCB_IMAGE_FORMAT_Z_PIXMAP, segment_, 0),
        nullptr));
    return reply ? shared_ : nullptr;
  }
  Reply<xcb_get_image_reply_t> reply(
      xcb_get_image_reply(connection_,
                          xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root,
                                        display_.x, display_.y, width, height, ~0u),
                          nullptr));
  if (!reply)
    return nullptr;
  unshared_.resize(size);
  std::size_t length = static_cast<std::size_t>(xcb_get_image_data_length(reply.get()));
  std::memcpy(unshared_.data(), xcb_get_image_data(reply.get()), std::min(length, size));
  return unshared_.data();
}

std::optional<std::uint32_t> X11DisplayStream::pidOf(xcb_window_t window) {
  if (pidAtom_ == XCB_NONE)
    return std::nullopt;
  Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      connection_, xcb_get_property(connection_, 0, window, pidAtom_, XCB_ATOM_CARDINAL, 0, 1),
      nullptr));
  if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4)
    return std::nullopt;
  return *static_cast<std::uint32_t*>(xcb_get_property_value(reply.get()));
}

// A top-level window is ours when it, or the client window a window
// manager framed in it, carries our process id.
bool X11DisplayStream::isOwnWindow(xcb_window_t window) {
  auto cached = ownCache_.find(window);
  if (cached != ownCache_.end())
    return cached->second;
  static const std::uint32_t self = static_cast<std::uint32_t>(getpid());
  bool own = false;
  if (std::optional<std::uint32_t> pid = pidOf(window)) {
    own = *pid == self;
  } else {
    Reply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(connection_, xcb_query_tree(connection_, window), nullptr));
    if (tree) {
      xcb_window_t* children = xcb_query_tree_children(tree.get());
      int count = xcb_query_tree_children_length(tree.get());
      for (int i = 0; i < count && !own; ++i) {
        std::optional<std::uint32_t> pid = pidOf(children[i]);
        own = pid && *pid == self;
      }
    }
  }
  ownCache_[window] = own;
  return own;
}

std::vector<X11DisplayStream::TopLevel> X11DisplayStream::topLevels() {
  std::vector<TopLevel> windows;
  Reply<xcb_query_tree_reply_t> tree(
      xcb_query_tree_reply(connection_, xcb_query_tree(connection_, screen_->root), nullptr));
  if (!tree)
    return windows;
  xcb_window_t* children = xcb_query_tree_children(tree.get());
  int count = xcb_query_tree_children_length(tree.get());
  std::vector<xcb_get_window_attributes_cookie_t> attributes(count);
  std::vector<xcb_get_geometry_cookie_t> geometries(count);
  for (int i = 0; i < count; ++i) {
    attributes[i] = xcb_get_window_attributes(connection_, children[i]);
    geometries[i] = xcb_get_geometry(connection_, children[i]);
  }
  // Bottom to top, as the server stacks them.
  for (int i = 0; i < count; ++i) {
    Reply<xcb_get_window_attributes_reply_t> attribute(
        xcb_get_window_attributes_reply(connection_, attributes[i], nullptr));
    Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(connection_, geometries[i], nullptr));
    if (!attribute || !geometry || attribute->map_state != XCB_MAP_STATE_VIEWABLE ||
        attribute->_class == XCB_WINDOW_CLASS_INPUT_ONLY || children[i] == backgroundWindow_)
      continue;
    int border = geometry->border_width;
    windows.push_back(
        {children[i],
         {geometry->x, geometry->y, geometry->width + 2 * border, geometry->height + 2 * border},
         false});
  }
  for (TopLevel& window : windows)
    window.own = isOwnWindow(window.window);
  return windows;
}

void X11DisplayStream::paintWindow(std::uint8_t* frame, const TopLevel& window, const Rect& area) {
  Rect part = window.outer.intersected(area);
  if (part.empty())
    return;
  xcb_pixmap_t pixmap = xcb_generate_id(connection_);
  xcb_composite_name_window_pixmap(connection_, window.window, pixmap);
  copyDrawable(frame, pixmap, part.x - window.outer.x, part.y - window.outer.y, part);
  xcb_free_pixmap(connection_, pixmap);
}

// Copies part (in root coordinates, within the display) from the drawable,
// whose pixel (sourceX, sourceY) lands on the part's top left corner.
bool X11DisplayStream::copyDrawable(std::uint8_t* frame, xcb_drawable_t drawable, int sourceX,
                                    int sourceY, const Rect& part) {
  Reply<xcb_get_image_reply_t> reply(
      xcb_get_image_reply(connection_,
                          xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, sourceX,
                                        sourceY, part.width, part.height, ~0u),
                          nullptr));
  if (!reply || reply->depth != screen_->root_depth)
    return false;
  const std::uint8_t* source = xcb_get_image_data(reply.get());
  int length = xcb_get_image_data_length(reply.get());
  int rowBytes = part.width * 4;
  if (length < rowBytes * part.height)
    return false;
  int stride = configuration_.width * 4;
  for (int row = 0; row < part.height; ++row) {
    std::uint8_t* target = frame + static_cast<std::size_t>(part.y - display_.y + row) * stride +
                           static_cast<std::size_t>(part.x - display_.x) * 4;
    std::memcpy(target, source + static_cast<std::size_t>(row) * rowBytes, rowBytes);
  }
  return true;
}

// The desktop picture published on the root window, tiled from the root's
// origin as the server tiles a background.
bool X11DisplayStream::paintRootPixmap(std::uint8_t* frame, const Rect& area) {
  for (xcb_atom_t atom : rootPixmapAtoms_) {
    if (atom == XCB_NONE)
      continue;
    Reply<xcb_get_property_reply_t> property(xcb_get_property_reply(
        connection_, xcb_get_property(connection_, 0, screen_->root, atom, XCB_ATOM_PIXMAP, 0, 1),
        nullptr));
    if (!property || property->format != 32 || xcb_get_property_value_length(property.get()) < 4)
      continue;
    xcb_pixmap_t pixmap = *static_cast<xcb_pixmap_t*>(xcb_get_property_value(property.get()));
    // A setter that exited without keeping its pixmap leaves a stale id.
    Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, pixmap), nullptr));
    if (!geometry || geometry->width == 0 || geometry->height == 0 ||
        geometry->depth != screen_->root_depth)
      continue;
    int tileWidth = geometry->width;
    int tileHeight = geometry->height;
    bool painted = true;
    for (int top = area.y - ((area.y % tileHeight) + tileHeight) % tileHeight;
         top < area.y + area.height; top += tileHeight) {
      for (int left = area.x - ((area.x % tileWidth) + tileWidth) % tileWidth;
           left < area.x + area.width; left += tileWidth) {
        Rect part = Rect{left, top, tileWidth, tileHeight}.intersected(area);
        if (!part.empty())
          painted = copyDrawable(frame, pixmap, part.x - left, part.y - top, part) && painted;
      }
    }
    if (painted)
      return true;
  }
  return false;
}

// The root window's own background (a colour or a tile set with
// ChangeWindowAttributes cannot be read back): a window whose background
// is its parent's is laid over the area and its pixmap read. It is
// redirected by hand, so nobody ever draws it on the screen. A compositing
// manager redirects every window itself and refuses this; it then draws
// the desktop from the published picture, which is read above.
bool X11DisplayStream::paintRootBackground(std::uint8_t* frame, const Rect& area) {
  if (!composite_ || backgroundRefused_)
    return false;
  if (backgroundWindow_ == XCB_NONE) {
    backgroundWindow_ = xcb_generate_id(connection_);
    std::uint32_t values[] = {XCB_BACK_PIXMAP_PARENT_RELATIVE, 1};
    xcb_create_window(connection_, screen_->root_depth, backgroundWindow_, screen_->root,
                      static_cast<std::int16_t>(area.x), static_cast<std::int16_t>(area.y),
                      static_cast<std::uint16_t>(area.width),
                      static_cast<std::uint16_t>(area.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen_->root_visual, XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT, values);
    xcb_generic_error_t* error = xcb_request_check(
        connection_, xcb_composite_redirect_window_checked(connection_, backgroundWindow_,
                                                           XCB_COMPOSITE_REDIRECT_MANUAL));
    if (error) {
      std::free(error);
      xcb_destroy_window(connection_, backgroundWindow_);
      backgroundWindow_ = XCB_NONE;
      backgroundRefused_ = true;
      return false;
    }
    xcb_map_window(connection_, backgroundWindow_);
    backgroundPlace_ = area;
  }
  if (area.x != backgroundPlace_.x || area.y != backgroundPlace_.y ||
      area.width != backgroundPlace_.width || area.height != backgroundPlace_.height) {
    std::uint32_t values[] = {
        static_cast<std::uint32_t>(area.x), static_cast<std::uint32_t>(area.y),
        static_cast<std::uint32_t>(area.width), static_cast<std::uint32_t>(area.height)};
    xcb_configure_window(connection_, backgroundWindow_,
                         XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y | XCB_CONFIG_WINDOW_WIDTH |
                             XCB_CONFIG_WINDOW_HEIGHT,
                         values);
    // A moved window shows its background anew only where it is exposed.
    xcb_clear_area(connection_, 0, backgroundWindow_, 0, 0, 0, 0);
    backgroundPlace_ = area;
  }
  xcb_pixmap_t pixmap = xcb_generate_id(connection_);
  xcb_composite_name_window_pixmap(connection_, backgroundWindow_, pixmap);
  bool painted = copyDrawable(frame, pixmap, 0, 0, area);
  xcb_free_pixmap(connection_, pixmap);
  return painted;
}

void X11DisplayStream::paintBackground(std::uint8_t* frame, const Rect& area) {
  if (paintRootPixmap(frame, area) || paintRootBackground(frame, area))
    return;
  int stride = configuration_.width * 4;
  for (int row = 0; row < area.height; ++row)
    std::memset(frame + static_cast<std::size_t>(area.y - display_.y + row) * stride +
                    static_cast<std::size_t>(area.x - display_.x) * 4,
                0, static_cast<std::size_t>(area.width) * 4);
}

// Rebuilds the area under each of our windows as the user would see it
// without them: the desktop background, then the other windows that lie
// there (what is below and what is above) in stacking order.
void X11DisplayStream::leaveOutOwnWindows(std::uint8_t* frame) {
  std::vector<TopLevel> windows = topLevels();
  Rect bounds{display_.x, display_.y, configuration_.width, configuration_.height};
  for (const TopLevel& own : windows) {
    if (!own.own)
      continue;
    Rect area = own.outer.intersected(bounds);
    if (area.empty())
      continue;
    paintBackground(frame, area);
    if (!composite_)
      continue;
    for (const TopLevel& other : windows)
      if (!other.own)
        paintWindow(frame, other, area);
  }
}

// Draws the pointer into the frame; reports whether it moved or changed
// shape since the last frame.
bool X11DisplayStream::drawCursor(std::uint8_t* frame, bool& changed) {
  changed = false;
  if (!xfixes_)
    return false;
  Reply<xcb_xfixes_get_cursor_image_reply_t> cursor(xcb_xfixes_get_cursor_image_reply(
      connection_, xcb_xfixes_get_cursor_image(connection_), nullptr));
  if (!cursor)
    return false;
  changed =
      cursor->cursor_serial != cursorSerial_ || cursor->x != cursorX_ || cursor->y != cursorY_;
  cursorSerial_ = cursor->cursor_serial;
  cursorX_ = cursor->x;
  cursorY_ = cursor->y;
  if (!frame || !configuration_.showsCursor)
    return true;
  const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(cursor.get());
  int left = cursor->x - cursor->xhot - display_.x;
  int top = cursor->y - cursor->yhot - display_.y;
  int stride = configuration_.width * 4;
  for (int row = 0; row < cursor->height; ++row) {
    int y = top + row;
    if (y < 0 || y >= configuration_.height)
      continue;
    for (int column = 0; column < cursor->width; ++column) {
      int x = left + column;
      if (x < 0 || x >= configuration_.width)
        continue;
      // Premultiplied ARGB.
      std::uint32_t argb = pixels[row * cursor->width + column];
      std::uint32_t alpha = argb >> 24;
      if (alpha == 0)
        continue;
      std::uint8_t* target = frame + static_cast<std::size_t>(y) * stride + x * 4;
      std::uint32_t keep = 255 - alpha;
      target[0] = static_cast<std::uint8_t>((argb & 0xff) + target[0] * keep / 255);
      target[1] = static_cast<std::uint8_t>(((argb >> 8) & 0xff) + target[1] * keep / 255);
      target[2] = static_cast<std::uint8_t>(((argb >> 16) & 0xff) + target[2] * keep / 255);
    }
  }
  return true;
}

void X11DisplayStream::run() {
  const std::int64_t interval = std::max<std::int64_t>(configuration_.minimumFrameInterval, 1);
  CaptureTime next = monotonicNow();
  // The first frame is always complete: it is the take's first picture.
  bool damaged = true;
  while (!stopping_) {
    xcb_generic_event_t* event;
    while ((event = xcb_poll_for_event(connection_)) != nullptr) {
      if (damage_ && (event->response_type & 0x7f) == damageEvent_)
        damaged = true;
      std::free(event);
    }
    if (xcb_connection_has_error(connection_)) {
      if (didStop_)
        didStop_("The connection to the X server was lost.");
      return;
    }
    // Without DAMAGE every frame counts as changed.
    if (!damage_)
      damaged = true;

    bool cursorChanged = false;
    VideoFrame frame;
    frame.width = configuration_.width;
    frame.height = configuration_.height;
    frame.layout = PixelLayout::i420;
    frame.stride = configuration_.width;
    if (damaged || !lastPixels_) {
      if (damage_)
        xcb_damage_subtract(connection_, damage_, XCB_NONE, XCB_NONE);
      frame.timestamp = monotonicNow();
      if (std::uint8_t* image = grab()) {
        leaveOutOwnWindows(image);
        drawCursor(image, cursorChanged);
        // Converted here rather than in the encoder: this thread would
        // otherwise wait for the next tick while the encoder converts and
        // codes in turn, and a queued frame takes less than half the memory.
        std::shared_ptr<std::vector<std::uint8_t>> buffer = takeBuffer();
        int width = configuration_.width;
        int height = configuration_.height;
        std::uint8_t* y = buffer->data();
        std::uint8_t* u = y + static_cast<std::size_t>(width) * height;
        std::uint8_t* v = u + i420ChromaSize(width, height);
        int chromaStride = (width + 1) / 2;
        convertBgraToI420(image, width * 4, width, height,
                          {y, width, u, chromaStride, v, chromaStride});
        frame.pixels = buffer;
        frame.status = FrameStatus::complete;
        lastPixels_ = buffer;
      }
      damaged = false;
    } else {
      drawCursor(nullptr, cursorChanged);
      frame.timestamp = monotonicNow();
      frame.pixels = lastPixels_;
      frame.status = FrameStatus::idle;
      if (cursorChanged) {
        // The pointer moved over an unchanged screen: a new picture.
        damaged = true;
        continue;
      }
    }
    bool idle = frame.status == FrameStatus::idle;
    if (frame.pixels && output_)
      output_(std::move(frame));

    next += interval;
    CaptureTime now = monotonicNow();
    if (next < now - interval)
      next = now; // fell behind: do not try to catch up with a burst
    // After a tick without a change, the next change is grabbed as soon as
    // it is drawn (a whole interval has passed since the last grab by then)
    // and the ticks follow it. With ticks alone, a screen that changes at
    // the frame rate beats against them and two of its changes often fall
    // into one tick: about one frame in six was lost that way.
    if (idle && waitForDamage(next)) {
      damaged = true;
      next = monotonicNow();
      continue;
    }
    timespec until{static_cast<time_t>(next / 1'000'000'000),
                   static_cast<long>(next % 1'000'000'000)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
  }
}

// Waits until the time given or until the server reports a change of the
// screen, whichever comes first; true for a change.
bool X11DisplayStream::waitForDamage(CaptureTime until) {
  if (!damage_)
    return false;
  auto takeEvents = [this](xcb_generic_event_t* (*next)(xcb_connection_t*)) {
    bool changed = false;
    while (xcb_generic_event_t* event = next(connection_)) {
      if ((event->response_type & 0x7f) == damageEvent_)
        changed = true;
      std::free(event);
    }
    return changed;
  };
  // Replies read since the loop's last look may have brought events along.
  if (takeEvents(xcb_poll_for_queued_event))
    return true;
  xcb_flush(connection_);
  pollfd descriptor{xcb_get_file_descriptor(connection_), POLLIN, 0};
  for (;;) {
    CaptureTime now = monotonicNow();
    if (now >= until || stopping_)
      return false;
    int milliseconds = static_cast<int>((until - now + 999'999) / 1'000'000);
    int ready = ::poll(&descriptor, 1, milliseconds);
    if (ready < 0 && errno != EINTR)
      return false;
    if (ready > 0 && takeEvents(xcb_poll_for_event))
      return true;
    if (xcb_connection_has_error(connection_))
      return false;
  }
}

} // namespace

ShareableContent x11ShareableContent() {
  ShareableContent content;
  int screenNumber = 0;
  xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return content;
  }
  if (xcb_screen_t* screen = screenOf(connection, screenNumber))
    content.displays.push_back(firstDisplay(connection, screen));
  xcb_disconnect(connection);
  return content;
}

std::unique_ptr<DisplayStream> makeX11DisplayStream(const DisplayInfo& display,
                                                    const StreamConfiguration& configuration,
                                                    std::function<void(std::string)> didStop) {
  return std::make_unique<X11DisplayStream>(display, configuration, std::move(didStop));
}

X11CaptureBackend::X11CaptureBackend(Logger& logger, DurationProbe& probe)
    : logger_(logger), probe_(probe) {}

ShareableContent X11CaptureBackend::shareableContent() {
  return x11ShareableContent();
}

std::unique_ptr<DisplayStream>
X11CaptureBackend::makeStream(const DisplayInfo& display, const StreamConfiguration& configuration,
                              std::function<void(std::string)> didStopWithError) {
  return makeX11DisplayStream(display, configuration, std::move(didStopWithError));
}

std::unique_ptr<MicrophoneSession> X11CaptureBackend::makeMicrophoneSession() {
  return makePulseMicrophoneSession();
}

std::unique_ptr<TakeWriter> X11CaptureBackend::makeTakeWriter(const std::filesystem::path& url,
                                                              int width, int height) {
  return makeFfmpegTakeWriter(url, width, height, probe_, logger_);
}

} // namespace vidorel
