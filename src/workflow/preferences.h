#pragma once

#include "shortcuts/shortcut_action.h"
#include "shortcuts/shortcut_binding.h"
#include "workflow/collaborators.h"
#include "workflow/screen_choice.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace vidorel {

// The per-user defaults: a flat map from key to a string or a Boolean.
// Reads never fail (a missing or unreadable store reads as empty); write
// failures are not reported.
class DefaultsStore {
public:
  virtual ~DefaultsStore() = default;
  virtual std::optional<std::string> string(const std::string& key) const = 0;
  // Nothing when the key is absent or holds something else than a Boolean.
  virtual std::optional<bool> boolean(const std::string& key) const = 0;
  virtual void setString(const std::string& key, const std::string& value) = 0;
  virtual void setBoolean(const std::string& key, bool value) = 0;
  virtual void remove(const std::string& key) = 0;
};

inline constexpr const char* kLastExportDirectoryKey = "lastExportDirectory";
inline constexpr const char* kAutoCheckForUpdatesKey = "autoCheckForUpdates";
inline constexpr const char* kCustomShortcutsKey = "customShortcuts";
inline constexpr const char* kEvenLoudnessKey = "evenOutLoudness";
inline constexpr const char* kRecordingScreenKey = "recordingScreen";
inline constexpr const char* kRecordingSizeKey = "recordingSize";

// The settings the program keeps between runs. No cache: every read
// goes to the store, every write straight into it.
class Preferences {
public:
  explicit Preferences(DefaultsStore& store) : store_(store) {}

  std::optional<std::filesystem::path> lastExportDirectory() const;
  // Nothing removes the key.
  void setLastExportDirectory(const std::optional<std::filesystem::path>& directory);

  // True unless a Boolean false is stored.
  bool autoCheckForUpdates() const;
  // Stores the flag; the coordinator's setter calls this.
  void storeAutoCheckForUpdates(bool on);

  // Whether an export brings every scene to one loudness: true unless a
  // Boolean false is stored.
  bool evenLoudness() const;
  void setEvenLoudness(bool on);

  // The stored bindings by raw value, unknown members included; empty when
  // absent or undecodable.
  std::map<std::string, ShortcutBinding> customShortcuts() const;
  void saveCustomShortcuts(const std::map<std::string, ShortcutBinding>& shortcuts);
  void setBinding(const ShortcutBinding& binding, ShortcutAction action);
  // Restore Defaults: every action back to its factory binding.
  void removeCustomShortcuts();
  // All nine actions: the custom binding where one is stored, else the
  // factory one.
  ShortcutBindings shortcutBindings() const;

  // The monitor takes record, by name; empty for the first one.
  std::string recordingScreen() const;
  // An empty name removes the key.
  void setRecordingScreen(const std::string& name);
  // Full size unless "1080p" is stored.
  RecordingSize recordingSize() const;
  void setRecordingSize(RecordingSize size);

  DefaultsStore& store() { return store_; }

private:
  DefaultsStore& store_;
};

} // namespace vidorel
