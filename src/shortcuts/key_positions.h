#pragma once

#include "shortcuts/keyboard_layout.h"

#include <cstdint>
#include <optional>
#include <span>

namespace vidorel {

// Bindings name keys by Carbon virtual key code, a physical position on the
// keyboard; X11 names the same positions by key code (the evdev code plus 8
// on every current X server). One table holds every key the program knows,
// for the shortcut recorder (X key pressed -> binding), the hot keys
// (binding -> X key grabbed) and the key names alike, so that a key can
// never be recorded as one position and grabbed as another.
//
// Keys where an Apple keyboard and a PC keyboard differ sit by position:
// F13, F14 and F15 are Print, Scroll Lock and Pause; Help is Insert; the
// keypad's Clear is Num Lock.
struct KeyPosition {
  std::uint32_t carbon = 0;
  std::uint8_t x11 = 0;
  // What the key types on a US layout; "" for none.
  const char* usText = "";
  // The name shown when the layout gives the key no text of its own, as Qt
  // names it ("F5", "PgUp", "Print"), so that a menu can answer to it too;
  // nullptr for keys that always type something.
  const char* name = nullptr;
  enum class Kind {
    // May be part of a binding.
    shortcut,
    // Escape: gives up recording, never recorded.
    escape,
    // Shift, Command, Option, Control, Caps Lock: held, never recorded.
    modifier,
    // Num Lock: a lock key the hot keys must ignore, so it cannot be one.
    lock,
  };
  Kind kind = Kind::shortcut;
};

// Every key in the table, ordered by Carbon code.
std::span<const KeyPosition> keyPositions();

const KeyPosition* keyPositionForCarbon(std::uint32_t carbonKeyCode);
const KeyPosition* keyPositionForX11(std::uint32_t x11KeyCode);

// The X key code at the Carbon key code's position; nothing for codes the
// table lacks.
std::optional<std::uint8_t> x11KeyCode(std::uint32_t carbonKeyCode);
// The reverse, for turning a pressed X key into a binding; nothing for keys
// the table lacks (media keys, F13-F24 of the X keymap).
std::optional<std::uint32_t> carbonKeyCodeFromX11(std::uint32_t x11KeyCode);

// Whether a binding can name the key: it is in the table and it is neither
// Escape, nor a modifier, nor a lock key.
bool isShortcutKeyCode(std::uint32_t carbonKeyCode);

// The Carbon codes of the modifier keys themselves (both Shifts, Command,
// Option, Control, Caps Lock, Function): pressing one alone records
// nothing.
bool isModifierKeyCode(std::uint32_t carbonKeyCode);

// The X core modifier mask for a Carbon modifier mask: ⌘ is Control, ⇧
// Shift, ⌥ Alt (Mod1) and ⌃ Super (Mod4). Bits outside the four are dropped.
std::uint16_t x11ModifierMask(std::uint32_t carbonModifiers);

// What the keys of a US layout show, for when the X server's own keymap is
// not at hand (tools, tests, another display server).
const KeyboardLayout& usKeyboardLayout();

} // namespace vidorel
