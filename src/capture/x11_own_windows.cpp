#include "capture/x11_display_stream.h"

#include <algorithm>
#include <cstring>

namespace vidorel {

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

std::vector<Rect> X11DisplayStream::ownAreas(const std::vector<TopLevel>& windows) const {
  std::vector<Rect> areas;
  Rect bounds{display_.x, display_.y, configuration_.width, configuration_.height};
  for (const TopLevel& own : windows) {
    Rect area = own.outer.intersected(bounds);
    if (own.own && !area.empty())
      areas.push_back(area);
  }
  return areas;
}

// Rebuilds the area under each of our windows as the user would see it
// without them: the desktop background, then the other windows that lie
// there (what is below and what is above) in stacking order.
void X11DisplayStream::leaveOutOwnWindows(std::uint8_t* frame,
                                          const std::vector<TopLevel>& windows) {
  for (const Rect& area : ownAreas(windows)) {
    paintBackground(frame, area);
    if (!composite_)
      continue;
    for (const TopLevel& other : windows)
      if (!other.own)
        paintWindow(frame, other, area);
  }
}

} // namespace vidorel
