#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

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

  // The modifiers held as Qt's native text on Linux writes them, then the
  // key name ("Ctrl+Shift+Space" for the factory pause binding,
  // "Meta+Ctrl+Alt+Shift+A" for all four). Keys without a fixed name are
  // named through `layout`.
  std::string displayString(const KeyboardLayout& layout) const;
};

// The name shown for a key: Qt's names for Return, Tab, Space, Backspace,
// Esc and the arrows, otherwise what the layout's key shows, upper-cased;
// "?" when the layout has nothing for it.
std::string keyName(std::uint32_t carbonKeyCode, const KeyboardLayout& layout);

// Modifier keys held during a key press, independent of any toolkit. Only
// the first four become part of a binding.
enum class ModifierKey { command, shift, option, control, capsLock, function, numericPad };

class ModifierSet {
public:
  ModifierSet() = default;
  ModifierSet(std::initializer_list<ModifierKey> keys) {
    for (ModifierKey key : keys)
      insert(key);
  }
  void insert(ModifierKey key) { bits_ |= bit(key); }
  bool contains(ModifierKey key) const { return (bits_ & bit(key)) != 0; }
  bool operator==(const ModifierSet&) const = default;

private:
  static std::uint32_t bit(ModifierKey key) { return 1u << static_cast<unsigned>(key); }
  std::uint32_t bits_ = 0;
};

// The binding a recorded key press stands for. `charactersIgnoringModifiers`
// is the UTF-8 text the key types without modifiers (may be empty).
ShortcutBinding bindingFromKeyPress(std::uint32_t carbonKeyCode, ModifierSet modifiers,
                                    std::string_view charactersIgnoringModifiers);

// The key of the binding's menu key equivalent, as Qt names it: " " is
// "Space", "\r" "Return", a key that types nothing ("?") its name by
// position ("F5"), anything else its first character upper-cased ("Ä",
// "+"). Empty when keyEquivalent is empty: such a binding gives the menu
// item no key equivalent.
std::string menuKeyName(const ShortcutBinding& binding);

} // namespace vidorel
