#pragma once

#include <cstdint>
#include <optional>

namespace vidorel {

// Bindings name keys by Carbon virtual key code, which numbers physical key
// positions. On Linux the same positions are evdev key codes; an X server
// with the evdev keymap numbers them evdev + 8.

// The X key code at the Carbon key code's position; nothing for codes
// without a key on a PC keyboard (and for the modifier keys themselves).
std::optional<std::uint8_t> x11KeyCode(std::uint32_t carbonKeyCode);

// The reverse, for turning a pressed X key into a binding.
std::optional<std::uint32_t> carbonKeyCodeFromX11(std::uint8_t x11KeyCode);

// The X core modifier mask for a Carbon modifier mask: ⌘ is Control, ⇧
// Shift, ⌥ Alt (Mod1) and ⌃ Super (Mod4). Bits outside the four are dropped.
std::uint16_t x11ModifierMask(std::uint32_t carbonModifiers);

} // namespace vidorel
