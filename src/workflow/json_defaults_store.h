#pragma once

#include "workflow/preferences.h"

#include <filesystem>

namespace vidorel {

// The per-user defaults as one JSON object in a file (normally
// $XDG_CONFIG_HOME/Vidorel/defaults.json). Every read parses the file and
// every write rewrites it atomically, so two instances over the same file
// (or a second process) always see the latest value. A missing, unreadable
// or malformed file reads as empty; the next write replaces it.
class JsonDefaultsStore final : public DefaultsStore {
public:
  explicit JsonDefaultsStore(std::filesystem::path file);
  // Over defaultsFile().
  JsonDefaultsStore();

  std::optional<std::string> string(const std::string& key) const override;
  std::optional<bool> boolean(const std::string& key) const override;
  void setString(const std::string& key, const std::string& value) override;
  void setBoolean(const std::string& key, bool value) override;
  void remove(const std::string& key) override;

  const std::filesystem::path& file() const { return file_; }

private:
  std::filesystem::path file_;
};

} // namespace vidorel
