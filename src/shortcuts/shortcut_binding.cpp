#include "shortcuts/shortcut_binding.h"

#include "shortcuts/key_positions.h"
#include "shortcuts/keyboard_layout.h"
#include "shortcuts/text_case.h"

namespace vidorel {

namespace {

const char* fixedKeyName(std::uint32_t keyCode) {
  switch (keyCode) {
  case kVK_Return:
    return "↩";
  case kVK_Tab:
    return "⇥";
  case kVK_Space:
    return "Space";
  case kVK_Delete:
    return "⌫";
  case kVK_Escape:
    return "⎋";
  case kVK_LeftArrow:
    return "←";
  case kVK_RightArrow:
    return "→";
  case kVK_DownArrow:
    return "↓";
  case kVK_UpArrow:
    return "↑";
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

} // namespace

std::string keyName(std::uint32_t carbonKeyCode, const KeyboardLayout& layout) {
  if (const char* fixed = fixedKeyName(carbonKeyCode))
    return fixed;
  std::string text = layout.keyText(carbonKeyCode);
  if (!text.empty())
    return upperCased(text);
  // Function keys, Home, Print and the like type nothing on any layout.
  const KeyPosition* key = keyPositionForCarbon(carbonKeyCode);
  if (key && key->name)
    return key->name;
  return "?";
}

std::string ShortcutBinding::displayString(const KeyboardLayout& layout) const {
  std::string parts;
  if (carbonModifiers & controlKey)
    parts += "⌃";
  if (carbonModifiers & optionKey)
    parts += "⌥";
  if (carbonModifiers & shiftKey)
    parts += "⇧";
  if (carbonModifiers & cmdKey)
    parts += "⌘";
  parts += keyName(carbonKeyCode, layout);
  return parts;
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
// types nothing records, so such a key is known by its position instead.
const KeyPosition* namedMenuKey(const ShortcutBinding& binding) {
  if (binding.keyEquivalent != "?")
    return nullptr;
  const KeyPosition* key = keyPositionForCarbon(binding.carbonKeyCode);
  if (!key || !key->portableName)
    return nullptr;
  return key;
}

} // namespace

std::string menuKeyName(const ShortcutBinding& binding) {
  if (binding.keyEquivalent.empty())
    return {};
  std::string_view key = binding.keyEquivalent;
  if (const KeyPosition* named = namedMenuKey(binding))
    return named->portableName;
  if (key == " ")
    return "Space";
  if (key == "\r")
    return "Return";
  if (key.front() == '\t')
    return "Tab";
  return upperCased(key.substr(0, firstCharacterLength(key)));
}

std::string menuKeySequence(const ShortcutBinding& binding) {
  std::string key = menuKeyName(binding);
  if (key.empty())
    return {};
  std::string sequence;
  // Qt's own modifier names for the keys behind the ⌘ ⇧ ⌥ ⌃ symbols:
  // Command is Ctrl, Option is Alt, Control is Meta (Super).
  if (binding.eventModifiers & commandEventModifier)
    sequence += "Ctrl+";
  if (binding.eventModifiers & shiftEventModifier)
    sequence += "Shift+";
  if (binding.eventModifiers & optionEventModifier)
    sequence += "Alt+";
  if (binding.eventModifiers & controlEventModifier)
    sequence += "Meta+";
  return sequence + key;
}

std::string menuKeyText(const ShortcutBinding& binding) {
  if (binding.keyEquivalent.empty())
    return {};
  std::string text;
  if (binding.eventModifiers & controlEventModifier)
    text += "⌃";
  if (binding.eventModifiers & optionEventModifier)
    text += "⌥";
  if (binding.eventModifiers & shiftEventModifier)
    text += "⇧";
  if (binding.eventModifiers & commandEventModifier)
    text += "⌘";
  std::string_view key = binding.keyEquivalent;
  if (const KeyPosition* named = namedMenuKey(binding)) {
    text += named->name;
  } else if (key == " ") {
    text += "Space";
  } else if (key == "\r") {
    text += "↩";
  } else if (key.front() == '\t') {
    text += "⇥";
  } else {
    text += upperCased(key.substr(0, firstCharacterLength(key)));
  }
  return text;
}

} // namespace vidorel
