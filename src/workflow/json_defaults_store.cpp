#include "workflow/json_defaults_store.h"

#include "base/files.h"
#include "base/xdg_paths.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <functional>
#include <sstream>

namespace vidorel {

namespace {

using nlohmann::json;

json readObject(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in)
    return json::object();
  std::stringstream contents;
  contents << in.rdbuf();
  json document = json::parse(contents.str(), nullptr, /*allow_exceptions=*/false);
  if (document.is_discarded() || !document.is_object())
    return json::object();
  return document;
}

// Failures are not reported: a setting that could not be written reads as
// before.
void update(const std::filesystem::path& file, const std::function<void(json&)>& change) {
  json document = readObject(file);
  change(document);
  std::string text;
  try {
    text = document.dump(2) + "\n";
  } catch (const json::exception&) {
    return; // a value that is not valid UTF-8
  }
  std::error_code error;
  std::filesystem::create_directories(file.parent_path(), error);
  writeFileAtomically(file, text);
}

} // namespace

JsonDefaultsStore::JsonDefaultsStore(std::filesystem::path file) : file_(std::move(file)) {}

JsonDefaultsStore::JsonDefaultsStore() : file_(defaultsFile()) {}

std::optional<std::string> JsonDefaultsStore::string(const std::string& key) const {
  json document = readObject(file_);
  auto found = document.find(key);
  if (found == document.end() || !found->is_string())
    return std::nullopt;
  return found->get<std::string>();
}

std::optional<bool> JsonDefaultsStore::boolean(const std::string& key) const {
  json document = readObject(file_);
  auto found = document.find(key);
  if (found == document.end() || !found->is_boolean())
    return std::nullopt;
  return found->get<bool>();
}

void JsonDefaultsStore::setString(const std::string& key, const std::string& value) {
  update(file_, [&](json& document) { document[key] = value; });
}

void JsonDefaultsStore::setBoolean(const std::string& key, bool value) {
  update(file_, [&](json& document) { document[key] = value; });
}

void JsonDefaultsStore::remove(const std::string& key) {
  update(file_, [&](json& document) { document.erase(key); });
}

} // namespace vidorel
