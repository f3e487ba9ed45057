#include "shortcuts/key_positions.h"

#include "shortcuts/shortcut_binding.h"

#include <array>

namespace vidorel {

namespace {

using Kind = KeyPosition::Kind;

// A key that types text on every layout.
constexpr KeyPosition typing(std::uint32_t carbon, std::uint8_t x11, const char* usText) {
  return {carbon, x11, usText, nullptr, Kind::shortcut};
}

// A key that types nothing (or only a control code), named for display and
// for menus.
constexpr KeyPosition named(std::uint32_t carbon, std::uint8_t x11, const char* name,
                            const char* usText = "") {
  return {carbon, x11, usText, name, Kind::shortcut};
}

// A keypad key: its text, and the same text as its name, because with
// Num Lock off the keymap gives it none.
constexpr KeyPosition keypad(std::uint32_t carbon, std::uint8_t x11, const char* text) {
  return {carbon, x11, text, text, Kind::shortcut};
}

constexpr KeyPosition held(std::uint32_t carbon, std::uint8_t x11, Kind kind) {
  return {carbon, x11, "", nullptr, kind};
}

// Ordered by Carbon code. X key codes are evdev codes
// (linux/input-event-codes.h) plus 8.
constexpr std::array kKeys = {
    typing(0x00, 38, "a"),
    typing(0x01, 39, "s"),
    typing(0x02, 40, "d"),
    typing(0x03, 41, "f"),
    typing(0x04, 43, "h"),
    typing(0x05, 42, "g"),
    typing(0x06, 52, "z"),
    typing(0x07, 53, "x"),
    typing(0x08, 54, "c"),
    typing(0x09, 55, "v"),
    typing(0x0A, 94, "<"), // the extra key of ISO keyboards
    typing(0x0B, 56, "b"),
    typing(0x0C, 24, "q"),
    typing(0x0D, 25, "w"),
    typing(0x0E, 26, "e"),
    typing(0x0F, 27, "r"),
    typing(0x10, 29, "y"),
    typing(0x11, 28, "t"),
    typing(0x12, 10, "1"),
    typing(0x13, 11, "2"),
    typing(0x14, 12, "3"),
    typing(0x15, 13, "4"),
    typing(0x16, 15, "6"),
    typing(0x17, 14, "5"),
    typing(0x18, 21, "="),
    typing(0x19, 18, "9"),
    typing(0x1A, 16, "7"),
    typing(0x1B, 20, "-"),
    typing(0x1C, 17, "8"),
    typing(0x1D, 19, "0"),
    typing(0x1E, 35, "]"),
    typing(0x1F, 32, "o"),
    typing(0x20, 30, "u"),
    typing(0x21, 34, "["),
    typing(0x22, 31, "i"),
    typing(0x23, 33, "p"),
    named(0x24, 36, "Return", "\r"),
    typing(0x25, 46, "l"),
    typing(0x26, 44, "j"),
    typing(0x27, 48, "'"),
    typing(0x28, 45, "k"),
    typing(0x29, 47, ";"),
    typing(0x2A, 51, "\\"),
    typing(0x2B, 59, ","),
    typing(0x2C, 61, "/"),
    typing(0x2D, 57, "n"),
    typing(0x2E, 58, "m"),
    typing(0x2F, 60, "."),
    named(0x30, 23, "Tab", "\t"),
    named(0x31, 65, "Space", " "),
    typing(0x32, 49, "`"),
    named(0x33, 22, "Backspace", "\b"),
    KeyPosition{0x35, 9, "\x1b", "Esc", Kind::escape},
    held(0x36, 105, Kind::modifier), // right Command: right Ctrl
    held(0x37, 37, Kind::modifier),  // Command: Ctrl
    held(0x38, 50, Kind::modifier),  // Shift
    held(0x39, 66, Kind::modifier),  // Caps Lock
    held(0x3A, 64, Kind::modifier),  // Option: Alt
    held(0x3B, 133, Kind::modifier), // Control: Super
    held(0x3C, 62, Kind::modifier),  // right Shift
    held(0x3D, 108, Kind::modifier), // right Option: right Alt
    held(0x3E, 134, Kind::modifier), // right Control: right Super
    named(0x40, 195, "F17"),
    keypad(0x41, 91, "."),
    keypad(0x43, 63, "*"),
    keypad(0x45, 86, "+"),
    held(0x47, 77, Kind::lock), // keypad Clear: Num Lock
    keypad(0x4B, 106, "/"),
    named(0x4C, 104, "Enter", "\r"),
    keypad(0x4E, 82, "-"),
    named(0x4F, 196, "F18"),
    named(0x50, 197, "F19"),
    keypad(0x51, 125, "="),
    keypad(0x52, 90, "0"),
    keypad(0x53, 87, "1"),
    keypad(0x54, 88, "2"),
    keypad(0x55, 89, "3"),
    keypad(0x56, 83, "4"),
    keypad(0x57, 84, "5"),
    keypad(0x58, 85, "6"),
    keypad(0x59, 79, "7"),
    named(0x5A, 198, "F20"),
    keypad(0x5B, 80, "8"),
    keypad(0x5C, 81, "9"),
    named(0x5D, 132, "¥"), // JIS yen
    named(0x5E, 97, "_"),  // JIS ro
    named(0x60, 71, "F5"),
    named(0x61, 72, "F6"),
    named(0x62, 73, "F7"),
    named(0x63, 69, "F3"),
    named(0x64, 74, "F8"),
    named(0x65, 75, "F9"),
    named(0x67, 95, "F11"),
    named(0x69, 107, "Print"), // F13
    named(0x6A, 194, "F16"),
    named(0x6B, 78, "ScrollLock"), // F14
    named(0x6D, 76, "F10"),
    named(0x6E, 135, "Menu"),
    named(0x6F, 96, "F12"),
    named(0x71, 127, "Pause"), // F15
    named(0x72, 118, "Ins"),   // Help
    named(0x73, 110, "Home"),
    named(0x74, 112, "PgUp"),
    named(0x75, 119, "Del"),
    named(0x76, 70, "F4"),
    named(0x77, 115, "End"),
    named(0x78, 68, "F2"),
    named(0x79, 117, "PgDown"),
    named(0x7A, 67, "F1"),
    named(0x7B, 113, "Left"),
    named(0x7C, 114, "Right"),
    named(0x7D, 116, "Down"),
    named(0x7E, 111, "Up"),
};

class UsKeyboardLayout final : public KeyboardLayout {
public:
  std::string keyText(std::uint32_t carbonKeyCode) const override {
    const KeyPosition* key = keyPositionForCarbon(carbonKeyCode);
    return key ? key->usText : "";
  }
};

} // namespace

std::span<const KeyPosition> keyPositions() {
  return kKeys;
}

const KeyPosition* keyPositionForCarbon(std::uint32_t carbonKeyCode) {
  for (const KeyPosition& key : kKeys)
    if (key.carbon == carbonKeyCode)
      return &key;
  return nullptr;
}

const KeyPosition* keyPositionForX11(std::uint32_t x11KeyCode) {
  for (const KeyPosition& key : kKeys)
    if (key.x11 == x11KeyCode)
      return &key;
  return nullptr;
}

std::optional<std::uint8_t> x11KeyCode(std::uint32_t carbonKeyCode) {
  const KeyPosition* key = keyPositionForCarbon(carbonKeyCode);
  if (!key)
    return std::nullopt;
  return key->x11;
}

std::optional<std::uint32_t> carbonKeyCodeFromX11(std::uint32_t x11KeyCode) {
  const KeyPosition* key = keyPositionForX11(x11KeyCode);
  if (!key)
    return std::nullopt;
  return key->carbon;
}

bool isShortcutKeyCode(std::uint32_t carbonKeyCode) {
  const KeyPosition* key = keyPositionForCarbon(carbonKeyCode);
  return key && key->kind == Kind::shortcut;
}

bool isModifierKeyCode(std::uint32_t carbonKeyCode) {
  return carbonKeyCode >= 54 && carbonKeyCode <= 63;
}

std::uint16_t x11ModifierMask(std::uint32_t carbonModifiers) {
  constexpr std::uint16_t kShiftMask = 1 << 0;
  constexpr std::uint16_t kControlMask = 1 << 2;
  constexpr std::uint16_t kMod1Mask = 1 << 3;
  constexpr std::uint16_t kMod4Mask = 1 << 6;
  std::uint16_t mask = 0;
  if (carbonModifiers & cmdKey)
    mask |= kControlMask;
  if (carbonModifiers & shiftKey)
    mask |= kShiftMask;
  if (carbonModifiers & optionKey)
    mask |= kMod1Mask;
  if (carbonModifiers & controlKey)
    mask |= kMod4Mask;
  return mask;
}

const KeyboardLayout& usKeyboardLayout() {
  static const UsKeyboardLayout layout;
  return layout;
}

} // namespace vidorel
