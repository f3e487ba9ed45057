#include "workflow/preferences.h"

#include "shortcuts/shortcut_json.h"

namespace vidorel {

std::optional<std::filesystem::path> Preferences::lastExportDirectory() const {
  std::optional<std::string> path = store_.string(kLastExportDirectoryKey);
  // An empty path names no folder; a save panel preset with it would open
  // wherever the process happens to run.
  if (!path || path->empty())
    return std::nullopt;
  return std::filesystem::path(*path);
}

void Preferences::setLastExportDirectory(const std::optional<std::filesystem::path>& directory) {
  if (!directory) {
    store_.remove(kLastExportDirectoryKey);
    return;
  }
  store_.setString(kLastExportDirectoryKey, directory->string());
}

bool Preferences::autoCheckForUpdates() const {
  return store_.boolean(kAutoCheckForUpdatesKey).value_or(true);
}

void Preferences::storeAutoCheckForUpdates(bool on) {
  store_.setBoolean(kAutoCheckForUpdatesKey, on);
}

bool Preferences::evenLoudness() const {
  return store_.boolean(kEvenLoudnessKey).value_or(true);
}

void Preferences::setEvenLoudness(bool on) {
  store_.setBoolean(kEvenLoudnessKey, on);
}

std::map<std::string, ShortcutBinding> Preferences::customShortcuts() const {
  std::optional<std::string> stored = store_.string(kCustomShortcutsKey);
  if (!stored)
    return {};
  return decodeCustomShortcuts(*stored);
}

void Preferences::saveCustomShortcuts(const std::map<std::string, ShortcutBinding>& shortcuts) {
  std::optional<std::string> encoded = encodeCustomShortcuts(shortcuts);
  if (!encoded)
    return;
  store_.setString(kCustomShortcutsKey, *encoded);
}

void Preferences::setBinding(const ShortcutBinding& binding, ShortcutAction action) {
  std::map<std::string, ShortcutBinding> shortcuts = customShortcuts();
  shortcuts[std::string(rawValue(action))] = binding;
  saveCustomShortcuts(shortcuts);
}

void Preferences::removeCustomShortcuts() {
  store_.remove(kCustomShortcutsKey);
}

ShortcutBindings Preferences::shortcutBindings() const {
  std::map<std::string, ShortcutBinding> custom = customShortcuts();
  ShortcutBindings bindings;
  for (ShortcutAction action : allShortcutActions) {
    auto found = custom.find(std::string(rawValue(action)));
    bindings.emplace(action, found == custom.end() ? defaultBinding(action) : found->second);
  }
  return bindings;
}

std::string Preferences::recordingScreen() const {
  return store_.string(kRecordingScreenKey).value_or(std::string());
}

void Preferences::setRecordingScreen(const std::string& name) {
  if (name.empty()) {
    store_.remove(kRecordingScreenKey);
    return;
  }
  store_.setString(kRecordingScreenKey, name);
}

RecordingSize Preferences::recordingSize() const {
  std::optional<std::string> stored = store_.string(kRecordingSizeKey);
  if (!stored)
    return RecordingSize::full;
  return recordingSizeNamed(*stored).value_or(RecordingSize::full);
}

void Preferences::setRecordingSize(RecordingSize size) {
  store_.setString(kRecordingSizeKey, std::string(rawValue(size)));
}

} // namespace vidorel
