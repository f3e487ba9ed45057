#include "workflow/app_state.h"

namespace vidorel {

std::string_view stateName(AppState state) {
  switch (state) {
  case AppState::idle:
    return "idle";
  case AppState::recording:
    return "recording";
  case AppState::paused:
    return "paused";
  case AppState::reviewing:
    return "reviewing";
  }
  return "idle";
}

} // namespace vidorel
