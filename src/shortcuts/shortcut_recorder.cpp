#include "shortcuts/shortcut_recorder.h"

#include "shortcuts/key_positions.h"

namespace vidorel {

void ShortcutRecorder::setBinding(std::optional<ShortcutBinding> binding) {
  if (recording_)
    return;
  binding_ = std::move(binding);
}

void ShortcutRecorder::click() {
  if (recording_)
    return;
  recording_ = true;
  if (onRecordingStarted)
    onRecordingStarted();
}

void ShortcutRecorder::stop() {
  if (!recording_)
    return;
  recording_ = false;
  if (onRecordingStopped)
    onRecordingStopped();
}

bool ShortcutRecorder::keyPress(std::uint32_t carbonKeyCode, ModifierSet modifiers,
                                std::string_view charactersIgnoringModifiers) {
  if (!recording_)
    return false;
  if (carbonKeyCode == kVK_Escape) {
    stop();
    return true;
  }
  // A modifier on its own is the start of a combination, not one.
  if (isModifierKeyCode(carbonKeyCode))
    return true;
  // The hot keys could never grab it: refused before it is offered.
  if (!isShortcutKeyCode(carbonKeyCode))
    return unknownKeyPress();
  ShortcutBinding candidate =
      bindingFromKeyPress(carbonKeyCode, modifiers, charactersIgnoringModifiers);
  if (accept) {
    std::optional<ShortcutAction> refusedBy = accept(candidate);
    // Refused: keep listening so that another combination can be tried.
    if (refusedBy)
      return true;
  }
  binding_ = candidate;
  stop();
  return true;
}

bool ShortcutRecorder::unknownKeyPress() {
  if (!recording_)
    return false;
  if (onUnusableKey)
    onUnusableKey();
  return true;
}

std::string ShortcutRecorder::text(const KeyboardLayout& layout) const {
  if (recording_)
    return kPressShortcutText;
  if (!binding_)
    return kNoShortcutText;
  return binding_->displayString(layout);
}

} // namespace vidorel
