#pragma once

#include "shortcuts/keyboard_layout.h"

struct xcb_connection_t;
struct xkb_context;
struct xkb_keymap;
struct xkb_state;

namespace vidorel {

// Key names from the X server's current keymap through xkbcommon: the text
// each key types in the first group with no modifiers held. Without a
// display or the XKB extension every key reads as having no text.
class XkbKeyboardLayout final : public KeyboardLayout {
public:
  explicit XkbKeyboardLayout(const char* displayName = nullptr);
  ~XkbKeyboardLayout() override;
  XkbKeyboardLayout(const XkbKeyboardLayout&) = delete;
  XkbKeyboardLayout& operator=(const XkbKeyboardLayout&) = delete;

  std::string keyText(std::uint32_t carbonKeyCode) const override;

  // Fetches the keymap again (after the user switched layouts).
  void reload();
  bool available() const { return state_ != nullptr; }

private:
  void release();

  xcb_connection_t* connection_ = nullptr;
  xkb_context* context_ = nullptr;
  xkb_keymap* keymap_ = nullptr;
  xkb_state* state_ = nullptr;
};

} // namespace vidorel
