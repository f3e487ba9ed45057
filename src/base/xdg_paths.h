#pragma once

#include <filesystem>

namespace vidorel {

// $XDG_DATA_HOME, else ~/.local/share.
std::filesystem::path dataHome();
// $XDG_CONFIG_HOME, else ~/.config.
std::filesystem::path configHome();
// dataHome()/Vidorel/Sessions: where unsaved sessions live.
std::filesystem::path scratchRoot();
// configHome()/Vidorel/defaults.json
std::filesystem::path defaultsFile();

} // namespace vidorel
