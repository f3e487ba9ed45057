#include "shortcuts/xkb_keyboard_layout.h"

#include "shortcuts/key_positions.h"

#include <xcb/xcb.h>
// The XKB protocol header names a field "explicit", which C++ reserves.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdlib>
#include <memory>

namespace vidorel {

namespace {

// The notices that change what a key types: a new keymap or keyboard, and
// the active group (the layout a multi-layout user switched to).
constexpr std::uint16_t kEvents = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY |
                                  XCB_XKB_EVENT_TYPE_MAP_NOTIFY | XCB_XKB_EVENT_TYPE_STATE_NOTIFY;
constexpr std::uint16_t kNewKeyboardDetails = XCB_XKB_NKN_DETAIL_KEYCODES;
constexpr std::uint16_t kMapParts =
    XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS | XCB_XKB_MAP_PART_MODIFIER_MAP |
    XCB_XKB_MAP_PART_EXPLICIT_COMPONENTS | XCB_XKB_MAP_PART_KEY_ACTIONS |
    XCB_XKB_MAP_PART_VIRTUAL_MODS | XCB_XKB_MAP_PART_VIRTUAL_MOD_MAP;
constexpr std::uint16_t kStateDetails =
    XCB_XKB_STATE_PART_GROUP_BASE | XCB_XKB_STATE_PART_GROUP_LATCH | XCB_XKB_STATE_PART_GROUP_LOCK;

// The first bytes every XKB event shares.
struct XkbEventHead {
  std::uint8_t responseType;
  std::uint8_t xkbType;
};

} // namespace

XkbKeyboardLayout::XkbKeyboardLayout(const char* displayName) {
  xcb_connection_t* connection = xcb_connect(displayName, nullptr);
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return;
  }
  connection_ = connection;
  context_ = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  if (!xkb_x11_setup_xkb_extension(
          connection_, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
          XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, &xkbEventBase_, nullptr))
    return;
  device_ = xkb_x11_get_core_keyboard_device_id(connection_);
  if (device_ < 0)
    return;
  xcb_xkb_select_events_details_t details = {};
  details.affectNewKeyboard = kNewKeyboardDetails;
  details.newKeyboardDetails = kNewKeyboardDetails;
  details.affectState = kStateDetails;
  details.stateDetails = kStateDetails;
  xcb_generic_error_t* error = xcb_request_check(
      connection_,
      xcb_xkb_select_events_aux_checked(connection_, static_cast<xcb_xkb_device_spec_t>(device_),
                                        kEvents, 0, 0, kMapParts, kMapParts, &details));
  // Without the notices the layout still answers, from the keymap as it
  // was at start.
  std::free(error);
  reload();
}

XkbKeyboardLayout::~XkbKeyboardLayout() {
  release();
  if (context_)
    xkb_context_unref(context_);
  if (connection_)
    xcb_disconnect(connection_);
}

void XkbKeyboardLayout::release() const {
  if (state_)
    xkb_state_unref(state_);
  if (keymap_)
    xkb_keymap_unref(keymap_);
  state_ = nullptr;
  keymap_ = nullptr;
}

void XkbKeyboardLayout::reload() {
  loadKeymap();
}

void XkbKeyboardLayout::loadKeymap() const {
  release();
  changed_ = true;
  if (!connection_ || !context_ || device_ < 0)
    return;
  keymap_ =
      xkb_x11_keymap_new_from_device(context_, connection_, device_, XKB_KEYMAP_COMPILE_NO_FLAGS);
  if (!keymap_)
    return;
  // The server's state gives the active group; the modifiers held right now
  // are not part of a key's name.
  xkb_state* current = xkb_x11_state_new_from_device(keymap_, connection_, device_);
  std::uint32_t group = 0;
  if (current) {
    group = xkb_state_serialize_layout(current, XKB_STATE_LAYOUT_EFFECTIVE);
    xkb_state_unref(current);
  }
  state_ = xkb_state_new(keymap_);
  useGroup(group);
}

void XkbKeyboardLayout::useGroup(std::uint32_t group) const {
  if (state_)
    xkb_state_update_mask(state_, 0, 0, 0, 0, 0, group);
}

int XkbKeyboardLayout::fileDescriptor() const {
  return connection_ ? xcb_get_file_descriptor(connection_) : -1;
}

bool XkbKeyboardLayout::followChanges() {
  readNotices();
  bool changed = changed_;
  changed_ = false;
  return changed;
}

bool XkbKeyboardLayout::readNotices() const {
  if (!connection_ || device_ < 0)
    return false;
  bool newKeymap = false;
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
    std::unique_ptr<xcb_generic_event_t, decltype(&std::free)> owner(event, &std::free);
    if ((event->response_type & 0x7f) != xkbEventBase_)
      continue;
    const auto* head = reinterpret_cast<const XkbEventHead*>(event);
    switch (head->xkbType) {
    case XCB_XKB_NEW_KEYBOARD_NOTIFY: {
      const auto* notice = reinterpret_cast<const xcb_xkb_new_keyboard_notify_event_t*>(event);
      if (notice->deviceID == device_ && (notice->changed & XCB_XKB_NKN_DETAIL_KEYCODES))
        newKeymap = true;
      break;
    }
    case XCB_XKB_MAP_NOTIFY:
      newKeymap = true;
      break;
    case XCB_XKB_STATE_NOTIFY: {
      const auto* notice = reinterpret_cast<const xcb_xkb_state_notify_event_t*>(event);
      if (state_ &&
          notice->group != xkb_state_serialize_layout(state_, XKB_STATE_LAYOUT_EFFECTIVE)) {
        useGroup(notice->group);
        changed_ = true;
      }
      break;
    }
    default:
      break;
    }
  }
  if (newKeymap)
    loadKeymap();
  return newKeymap;
}

std::string XkbKeyboardLayout::keyText(std::uint32_t carbonKeyCode) const {
  readNotices();
  if (!state_)
    return {};
  std::optional<std::uint8_t> keyCode = x11KeyCode(carbonKeyCode);
  if (!keyCode)
    return {};
  char buffer[64];
  int length = xkb_state_key_get_utf8(state_, *keyCode, buffer, sizeof buffer);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer)
    return {};
  std::string text(buffer, static_cast<std::size_t>(length));
  // Control characters (Delete, keypad Enter) name nothing a person reads.
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f)
      return {};
  }
  return text;
}

} // namespace vidorel
