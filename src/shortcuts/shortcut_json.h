#pragma once

#include "shortcuts/shortcut_binding.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace vidorel {

// The stored form of customised bindings: one JSON object whose member names
// are action raw values (or anything else, kept as it is) and whose values
// are objects with "carbonKeyCode", "carbonModifiers", "keyEquivalent" and
// "eventModifiers".

// Empty when the text is not such an object: one malformed member empties
// the whole of it, so no half-read set of bindings is ever used.
std::map<std::string, ShortcutBinding> decodeCustomShortcuts(std::string_view json);

// Pretty-printed with sorted keys; nothing when a binding cannot be written
// (a key equivalent that is not valid UTF-8).
std::optional<std::string>
encodeCustomShortcuts(const std::map<std::string, ShortcutBinding>& shortcuts);

} // namespace vidorel
