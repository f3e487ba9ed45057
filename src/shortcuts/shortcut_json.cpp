#include "shortcuts/shortcut_json.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

namespace vidorel {

namespace {

using nlohmann::json;

// A JSON number that is a whole value in [0, max]; 49.0 counts as 49.
template <typename T> std::optional<T> wholeNumber(const json& value) {
  constexpr auto kMax = std::numeric_limits<T>::max();
  if (value.is_number_unsigned()) {
    auto number = value.get<std::uint64_t>();
    if (number > kMax)
      return std::nullopt;
    return static_cast<T>(number);
  }
  if (value.is_number_integer()) {
    auto number = value.get<std::int64_t>();
    if (number < 0 || static_cast<std::uint64_t>(number) > kMax)
      return std::nullopt;
    return static_cast<T>(number);
  }
  if (value.is_number_float()) {
    double number = value.get<double>();
    // 2^64 as a double is already out of range for a 64-bit value.
    if (!(number >= 0) || number != std::floor(number) ||
        number >= std::ldexp(1.0, std::numeric_limits<T>::digits))
      return std::nullopt;
    return static_cast<T>(number);
  }
  return std::nullopt;
}

std::optional<ShortcutBinding> decodeBinding(const json& value) {
  if (!value.is_object())
    return std::nullopt;
  auto keyCode = value.find("carbonKeyCode");
  auto modifiers = value.find("carbonModifiers");
  auto keyEquivalent = value.find("keyEquivalent");
  auto eventModifiers = value.find("eventModifiers");
  if (keyCode == value.end() || modifiers == value.end() || keyEquivalent == value.end() ||
      eventModifiers == value.end())
    return std::nullopt;
  auto code = wholeNumber<std::uint32_t>(*keyCode);
  auto mask = wholeNumber<std::uint32_t>(*modifiers);
  auto eventMask = wholeNumber<std::uint64_t>(*eventModifiers);
  if (!code || !mask || !eventMask || !keyEquivalent->is_string())
    return std::nullopt;
  return ShortcutBinding{*code, *mask, keyEquivalent->get<std::string>(), *eventMask};
}

} // namespace

std::map<std::string, ShortcutBinding> decodeCustomShortcuts(std::string_view text) {
  json document = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded() || !document.is_object())
    return {};
  std::map<std::string, ShortcutBinding> shortcuts;
  for (const auto& [name, value] : document.items()) {
    std::optional<ShortcutBinding> binding = decodeBinding(value);
    if (!binding)
      return {};
    shortcuts.emplace(name, std::move(*binding));
  }
  return shortcuts;
}

std::optional<std::string>
encodeCustomShortcuts(const std::map<std::string, ShortcutBinding>& shortcuts) {
  json document = json::object();
  for (const auto& [name, binding] : shortcuts) {
    document[name] = {
        {"carbonKeyCode", binding.carbonKeyCode},
        {"carbonModifiers", binding.carbonModifiers},
        {"keyEquivalent", binding.keyEquivalent},
        {"eventModifiers", binding.eventModifiers},
    };
  }
  try {
    return document.dump(2);
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

} // namespace vidorel
