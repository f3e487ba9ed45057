#pragma once

#include "workflow/preferences.h"

#include <map>
#include <string>
#include <variant>

namespace vidorel {

// The per-user defaults in memory. `values` is public so tests can plant
// foreign-typed values and check what was written.
class FakeDefaultsStore final : public DefaultsStore {
public:
  using Value = std::variant<std::string, bool>;
  std::map<std::string, Value> values;

  std::optional<std::string> string(const std::string& key) const override {
    auto found = values.find(key);
    if (found == values.end() || !std::holds_alternative<std::string>(found->second))
      return std::nullopt;
    return std::get<std::string>(found->second);
  }
  std::optional<bool> boolean(const std::string& key) const override {
    auto found = values.find(key);
    if (found == values.end() || !std::holds_alternative<bool>(found->second))
      return std::nullopt;
    return std::get<bool>(found->second);
  }
  void setString(const std::string& key, const std::string& value) override { values[key] = value; }
  void setBoolean(const std::string& key, bool value) override { values[key] = value; }
  void remove(const std::string& key) override { values.erase(key); }
};

} // namespace vidorel
