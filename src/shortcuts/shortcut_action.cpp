#include "shortcuts/shortcut_action.h"

#include "shortcuts/shortcut_binding.h"

namespace vidorel {

namespace {

struct ActionInfo {
  std::string_view raw;
  std::string_view title;
  std::uint32_t keyCode;
  std::uint32_t carbonModifiers;
  const char* keyEquivalent;
  std::uint64_t eventModifiers;
};

constexpr std::uint32_t kCmdShift = cmdKey | shiftKey;
constexpr std::uint32_t kCmdShiftOption = cmdKey | shiftKey | optionKey;
constexpr std::uint64_t kCommandShift = commandEventModifier | shiftEventModifier;
constexpr std::uint64_t kCommandShiftOption =
    commandEventModifier | shiftEventModifier | optionEventModifier;

// Indexed by the enumeration's value, so it must follow the declaration
// order exactly.
constexpr ActionInfo kActions[] = {
    {"startPause", "Pause / Resume", kVK_Space, kCmdShift, " ", kCommandShift},
    {"endTake", "Start / End Take / Approve", kVK_Return, kCmdShift, "\r", kCommandShift},
    {"nextScene", "Next Scene", kVK_ANSI_N, kCmdShift, "n", kCommandShift},
    {"retake", "Retake", kVK_ANSI_R, kCmdShift, "r", kCommandShift},
    {"newSession", "New Recording", kVK_ANSI_N, kCmdShiftOption, "n", kCommandShiftOption},
    {"openSession", "Open Recording", kVK_ANSI_O, kCmdShift, "o", kCommandShift},
    {"save", "Save Recording", kVK_ANSI_S, kCmdShift, "s", kCommandShift},
    {"saveAs", "Save Recording As", kVK_ANSI_S, kCmdShiftOption, "s", kCommandShiftOption},
    {"export", "Export Final Video", kVK_ANSI_E, kCmdShift, "e", kCommandShift},
};

static_assert(std::size(kActions) == allShortcutActions.size());

const ActionInfo& info(ShortcutAction action) {
  return kActions[static_cast<std::size_t>(action)];
}

} // namespace

std::string_view rawValue(ShortcutAction action) {
  return info(action).raw;
}

std::optional<ShortcutAction> shortcutActionFromRawValue(std::string_view raw) {
  for (ShortcutAction action : allShortcutActions) {
    if (info(action).raw == raw)
      return action;
  }
  return std::nullopt;
}

std::string_view title(ShortcutAction action) {
  return info(action).title;
}

ShortcutBinding defaultBinding(ShortcutAction action) {
  const ActionInfo& entry = info(action);
  return ShortcutBinding{entry.keyCode, entry.carbonModifiers, entry.keyEquivalent,
                         entry.eventModifiers};
}

} // namespace vidorel
