#pragma once

#include <cstdint>
#include <string>

namespace vidorel {

class KeyboardLayout;

// Carbon modifier mask bits. Bindings keep this numbering on every platform
// because the stored JSON form is fixed; on X11 cmdKey is Ctrl, optionKey Alt
// and controlKey Super.
inline constexpr std::uint32_t cmdKey = 0x100;
inline constexpr std::uint32_t shiftKey = 0x200;
inline constexpr std::uint32_t optionKey = 0x800;
inline constexpr std::uint32_t controlKey = 0x1000;

// Raw values of the menu-side modifier set describing the same keys.
inline constexpr std::uint64_t shiftEventModifier = 2;
inline constexpr std::uint64_t controlEventModifier = 4;
inline constexpr std::uint64_t optionEventModifier = 8;
inline constexpr std::uint64_t commandEventModifier = 16;

// Carbon virtual key codes (physical key positions of the ANSI layout) that
// the shortcut code names directly.
inline constexpr std::uint32_t kVK_ANSI_A = 0;
inline constexpr std::uint32_t kVK_ANSI_S = 1;
inline constexpr std::uint32_t kVK_ANSI_E = 14;
inline constexpr std::uint32_t kVK_ANSI_R = 15;
inline constexpr std::uint32_t kVK_ANSI_O = 31;
inline constexpr std::uint32_t kVK_ANSI_N = 45;
inline constexpr std::uint32_t kVK_ANSI_K = 40;
inline constexpr std::uint32_t kVK_Return = 36;
inline constexpr std::uint32_t kVK_Tab = 48;
inline constexpr std::uint32_t kVK_Space = 49;
inline constexpr std::uint32_t kVK_Delete = 51;
inline constexpr std::uint32_t kVK_Escape = 53;
inline constexpr std::uint32_t kVK_LeftArrow = 123;
inline constexpr std::uint32_t kVK_RightArrow = 124;
inline constexpr std::uint32_t kVK_DownArrow = 125;
inline constexpr std::uint32_t kVK_UpArrow = 126;

// One key combination. The Carbon pair is what hot-key registration and the
// duplicate check use; keyEquivalent and eventModifiers are what menus use.
// Both modifier fields always describe the same set of keys.
struct ShortcutBinding {
  std::uint32_t carbonKeyCode = 0;
  std::uint32_t carbonModifiers = 0;
  // One character: " " for Space, "\t" for Tab, "\r" for Return, otherwise
  // the key's unmodified characters lower-cased, "?" when it has none.
  std::string keyEquivalent;
  std::uint64_t eventModifiers = 0;

  bool operator==(const ShortcutBinding&) const = default;

  // "⌃⌥⇧⌘" in that order for the modifiers held, then the key name
  // ("⇧⌘Space" for the factory pause binding). Keys without a fixed name are
  // named through `layout`.
  std::string displayString(const KeyboardLayout& layout) const;
};

} // namespace vidorel
