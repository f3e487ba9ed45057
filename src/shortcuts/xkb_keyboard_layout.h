#pragma once

#include "shortcuts/keyboard_layout.h"

#include <cstdint>

struct xcb_connection_t;
struct xkb_context;
struct xkb_keymap;
struct xkb_state;

namespace vidorel {

// Key names from the X server's current keymap through xkbcommon: the text
// each key types in the active group with no modifiers held. The server
// tells the layout when the keymap is replaced (setxkbmap, a new keyboard)
// or the group switches; those notices are read before every answer, so a
// key is never named from a layout the user has left. Without a display or
// the XKB extension every key reads as having no text.
class XkbKeyboardLayout final : public KeyboardLayout {
public:
  explicit XkbKeyboardLayout(const char* displayName = nullptr);
  ~XkbKeyboardLayout() override;
  XkbKeyboardLayout(const XkbKeyboardLayout&) = delete;
  XkbKeyboardLayout& operator=(const XkbKeyboardLayout&) = delete;

  std::string keyText(std::uint32_t carbonKeyCode) const override;

  // Fetches the keymap and the active group again.
  void reload();
  bool available() const { return state_ != nullptr; }

  // The connection's descriptor, readable when the server sent notices;
  // -1 without a display.
  int fileDescriptor() const;
  // Reads the notices that arrived; true when what the keys show may have
  // changed since the last call.
  bool followChanges();

private:
  void release() const;
  void loadKeymap() const;
  bool readNotices() const;
  void useGroup(std::uint32_t group) const;

  xcb_connection_t* connection_ = nullptr;
  xkb_context* context_ = nullptr;
  std::uint8_t xkbEventBase_ = 0;
  std::int32_t device_ = -1;
  // Notices are read from const lookups too; these follow them.
  mutable xkb_keymap* keymap_ = nullptr;
  mutable xkb_state* state_ = nullptr;
  mutable bool changed_ = false;
};

} // namespace vidorel
