#pragma once

#include <string_view>

namespace vidorel {

// idle also covers the countdown: no take is in progress until capture runs.
enum class AppState { idle, recording, paused, reviewing };

// "idle", "recording", "paused", "reviewing".
std::string_view stateName(AppState state);

} // namespace vidorel
