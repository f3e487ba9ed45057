#pragma once

#include "shortcuts/keyboard_layout.h"
#include "shortcuts/shortcut_action.h"
#include "shortcuts/shortcut_binding.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vidorel {

inline constexpr const char* kPressShortcutText = "Press shortcut…";
inline constexpr const char* kNoShortcutText = "None";
inline constexpr int kRecorderWidth = 160;
inline constexpr int kRecorderHeight = 24;

// The recorder control's behaviour: a click starts listening, the next key
// combination is offered for acceptance, Escape gives up. While it listens
// the program's hot keys are suspended by whoever handles the start and
// stop callbacks.
class ShortcutRecorder {
public:
  // Asked to accept a recorded binding; returns the action that already
  // uses it (refused), or nothing (accepted).
  std::function<std::optional<ShortcutAction>(const ShortcutBinding&)> accept;
  // A key no binding can hold was pressed while listening; listening goes
  // on.
  std::function<void()> onUnusableKey;
  std::function<void()> onRecordingStarted;
  std::function<void()> onRecordingStopped;

  const std::optional<ShortcutBinding>& binding() const { return binding_; }
  // Shown binding; ignored while listening, so that a publish during
  // recording does not change what the control will show afterwards.
  void setBinding(std::optional<ShortcutBinding> binding);
  bool isRecording() const { return recording_; }

  // A click on the control: starts listening; a click while listening does
  // nothing.
  void click();
  // A key press while the program is active. Returns whether the control
  // swallowed it (every key while listening).
  bool keyPress(std::uint32_t carbonKeyCode, ModifierSet modifiers,
                std::string_view charactersIgnoringModifiers);
  // A key press the key table has no position for (a media key, say).
  bool unknownKeyPress();
  // Stops listening without recording (the control goes away, say).
  void stop();

  // "Press shortcut…" while listening, else the binding's display string,
  // else "None".
  std::string text(const KeyboardLayout& layout) const;

private:
  bool recording_ = false;
  std::optional<ShortcutBinding> binding_;
};

} // namespace vidorel
