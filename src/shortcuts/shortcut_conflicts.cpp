#include "shortcuts/shortcut_conflicts.h"

namespace vidorel {

ConflictCheck conflictingAction(ShortcutAction row, const ShortcutBinding& candidate,
                                const std::map<ShortcutAction, ShortcutBinding>& bindings) {
  for (ShortcutAction other : allShortcutActions) {
    if (other == row)
      continue;
    auto found = bindings.find(other);
    ShortcutBinding binding = found == bindings.end() ? defaultBinding(other) : found->second;
    if (binding.carbonKeyCode == candidate.carbonKeyCode &&
        binding.carbonModifiers == candidate.carbonModifiers)
      return {other, "Already used by " + std::string(title(other))};
  }
  constexpr std::uint32_t kCommandShift = cmdKey | shiftKey;
  if ((candidate.carbonModifiers & kCommandShift) != kCommandShift)
    return {std::nullopt, kMayConflictWarning};
  return {};
}

} // namespace vidorel
