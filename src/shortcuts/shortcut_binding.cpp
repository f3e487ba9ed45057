#include "shortcuts/shortcut_binding.h"

#include "shortcuts/key_positions.h"
#include "shortcuts/keyboard_layout.h"
#include "shortcuts/text_case.h"

namespace vidorel {

namespace {

const char* fixedKeyName(std::uint32_t keyCode) {
  switch (keyCode) {
  case kVK_Return:
    return "Return";
  case kVK_Tab:
    return "Tab";
  case kVK_Space:
    return "Space";
  case kVK_Delete:
    return "Backspace";
  case kVK_Escape:
    return "Esc";
  case kVK_LeftArrow:
    return "Left";
  case kVK_RightArrow:
    return "Right";
  case kVK_DownArrow:
    return "Down";
  case kVK_UpArrow:
    return "Up";
  default:
    return nullptr;
  }
}

// Length in bytes of the first UTF-8 character of text (1 for a stray byte).
std::size_t firstCharacterLength(std::string_view text) {
  auto lead = static_cast<unsigned char>(text.front());
  std::size_t length = 1;
  if ((lead & 0xE0) == 0xC0)
    length = 2;
  else if ((lead & 0xF0) == 0xE0)
    length = 3;
  else if ((lead & 0xF8) == 0xF0)
    length = 4;
  return length <= text.size() ? length : 1;
}

// A key that types a control code ("\r" of the keypad's Enter, "\b") shows
// nothing readable and is no key Qt knows by its character.
bool isControlCode(std::string_view text) {
  if (text.size() != 1)
    return false;
  auto byte = static_cast<unsigned char>(text.front());
  return byte < 0x20 || byte == 0x7F;
}

} // namespace

std::string keyName(std::uint32_t carbonKeyCode, const KeyboardLayout& layout) {
  if (const char* fixed = fixedKeyName(carbonKeyCode))
    return fixed;
  std::string text = layout.keyText(carbonKeyCode);
  if (!text.empty() && !isControlCode(text))
    return upperCased(text);
  // Function keys, Home, Print and the like type nothing on any layout.
  const KeyPosition* key = keyPositionForCarbon(carbonKeyCode);
  if (key && key->name)
    return key->name;
  return "?";
}

std::string ShortcutBinding::displayString(const KeyboardLayout& layout) const {
  // Qt's native text on Linux: Meta, Ctrl, Alt, Shift in that order, each
  // followed by "+"; Command is Ctrl, Option Alt and Control Meta (Super).
  std::string text;
  if (carbonModifiers & controlKey)
    text += "Meta+";
  if (carbonModifiers & cmdKey)
    text += "Ctrl+";
  if (carbonModifiers & optionKey)
    text += "Alt+";
  if (carbonModifiers & shiftKey)
    text += "Shift+";
  return text + keyName(carbonKeyCode, layout);
}

ShortcutBinding bindingFromKeyPress(std::uint32_t carbonKeyCode, ModifierSet modifiers,
                                    std::string_view charactersIgnoringModifiers) {
  ShortcutBinding binding;
  binding.carbonKeyCode = carbonKeyCode;
  // Caps lock, function and numeric pad are state of the key press, not
  // part of the combination.
  if (modifiers.contains(ModifierKey::command)) {
    binding.carbonModifiers |= cmdKey;
    binding.eventModifiers |= commandEventModifier;
  }
  if (modifiers.contains(ModifierKey::shift)) {
    binding.carbonModifiers |= shiftKey;
    binding.eventModifiers |= shiftEventModifier;
  }
  if (modifiers.contains(ModifierKey::option)) {
    binding.carbonModifiers |= optionKey;
    binding.eventModifiers |= optionEventModifier;
  }
  if (modifiers.contains(ModifierKey::control)) {
    binding.carbonModifiers |= controlKey;
    binding.eventModifiers |= controlEventModifier;
  }
  switch (carbonKeyCode) {
  case kVK_Space:
    binding.keyEquivalent = " ";
    break;
  case kVK_Tab:
    binding.keyEquivalent = "\t";
    break;
  case kVK_Return:
    binding.keyEquivalent = "\r";
    break;
  default:
    binding.keyEquivalent =
        charactersIgnoringModifiers.empty() ? "?" : lowerCased(charactersIgnoringModifiers);
    break;
  }
  return binding;
}

namespace {

// The named key a binding's menu item answers to: "?" is what a key that
// types nothing records, so such a key, like one that types a control code,
// is known by its position instead.
const KeyPosition* namedMenuKey(const ShortcutBinding& binding) {
  if (binding.keyEquivalent != "?" && !isControlCode(binding.keyEquivalent))
    return nullptr;
  const KeyPosition* key = keyPositionForCarbon(binding.carbonKeyCode);
  if (!key || !key->name)
    return nullptr;
  return key;
}

} // namespace

std::string menuKeyName(const ShortcutBinding& binding) {
  if (binding.keyEquivalent.empty())
    return {};
  std::string_view key = binding.keyEquivalent;
  if (const KeyPosition* named = namedMenuKey(binding))
    return named->name;
  if (key == " ")
    return "Space";
  if (key == "\r")
    return "Return";
  if (key.front() == '\t')
    return "Tab";
  return upperCased(key.substr(0, firstCharacterLength(key)));
}

} // namespace vidorel
