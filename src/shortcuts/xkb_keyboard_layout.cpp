#include "shortcuts/xkb_keyboard_layout.h"

#include "shortcuts/carbon_key_codes.h"

#include <xcb/xcb.h>
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

namespace vidorel {

XkbKeyboardLayout::XkbKeyboardLayout(const char* displayName) {
  xcb_connection_t* connection = xcb_connect(displayName, nullptr);
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return;
  }
  connection_ = connection;
  context_ = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  reload();
}

XkbKeyboardLayout::~XkbKeyboardLayout() {
  release();
  if (context_)
    xkb_context_unref(context_);
  if (connection_)
    xcb_disconnect(connection_);
}

void XkbKeyboardLayout::release() {
  if (state_)
    xkb_state_unref(state_);
  if (keymap_)
    xkb_keymap_unref(keymap_);
  state_ = nullptr;
  keymap_ = nullptr;
}

void XkbKeyboardLayout::reload() {
  release();
  if (!connection_ || !context_)
    return;
  if (!xkb_x11_setup_xkb_extension(
          connection_, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
          XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr, nullptr))
    return;
  std::int32_t device = xkb_x11_get_core_keyboard_device_id(connection_);
  if (device < 0)
    return;
  keymap_ =
      xkb_x11_keymap_new_from_device(context_, connection_, device, XKB_KEYMAP_COMPILE_NO_FLAGS);
  if (!keymap_)
    return;
  // A fresh state: no modifiers, no locks, first group.
  state_ = xkb_state_new(keymap_);
}

std::string XkbKeyboardLayout::keyText(std::uint32_t carbonKeyCode) const {
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
