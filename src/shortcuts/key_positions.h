#pragma once

#include "shortcuts/keyboard_layout.h"

#include <cstdint>
#include <optional>

namespace vidorel {

// Bindings name keys by Carbon virtual key code (a physical position on the
// ANSI keyboard); X11 names the same positions by keycode (the evdev code
// plus 8 on every current X server). This table translates between the two
// for every key the shortcut recorder hears, the modifier keys included
// (it must tell a lone modifier from a combination), with the program's
// modifier mapping: Ctrl is Command, Alt is Option and Super is Control.
std::optional<std::uint32_t> carbonPositionFromX11(std::uint32_t x11Keycode);
std::optional<std::uint32_t> x11PositionFromCarbon(std::uint32_t carbonKeyCode);

// The Carbon codes of the modifier keys themselves (both Shifts, Command,
// Option, Control, Caps Lock, Function): pressing one alone records
// nothing.
bool isModifierKeyCode(std::uint32_t carbonKeyCode);

// What the keys of a US layout show, for when the X server's own keymap is
// not at hand (tools, tests, another display server).
const KeyboardLayout& usKeyboardLayout();

} // namespace vidorel
