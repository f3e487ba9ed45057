#include "base/xdg_paths.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace vidorel {
namespace {

std::filesystem::path homeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home)
    return home;
  if (passwd* entry = getpwuid(getuid()); entry && entry->pw_dir)
    return entry->pw_dir;
  return "/tmp";
}

// The XDG rules ignore relative paths.
std::filesystem::path fromEnvironment(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  if (value && *value == '/')
    return value;
  return homeFolder() / fallback;
}

} // namespace

std::filesystem::path dataHome() {
  return fromEnvironment("XDG_DATA_HOME", ".local/share");
}
std::filesystem::path configHome() {
  return fromEnvironment("XDG_CONFIG_HOME", ".config");
}
std::filesystem::path scratchRoot() {
  return dataHome() / "Vidorel" / "Sessions";
}
std::filesystem::path defaultsFile() {
  return configHome() / "Vidorel" / "defaults.json";
}

} // namespace vidorel
