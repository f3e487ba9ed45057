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

  template <typename T> std::optional<T> get(const std::string& key) const {
    auto found = values.find(key);
    if (found == values.end() || !std::holds_alternative<T>(found->second))
      return std::nullopt;
    return std::get<T>(found->second);
  }
  std::optional<std::string> string(const std::string& key) const override {
    return get<std::string>(key);
  }
  std::optional<bool> boolean(const std::string& key) const override { return get<bool>(key); }
  void setString(const std::string& key, const std::string& value) override { values[key] = value; }
  void setBoolean(const std::string& key, bool value) override { values[key] = value; }
  void remove(const std::string& key) override { values.erase(key); }
};

} // namespace vidorel
