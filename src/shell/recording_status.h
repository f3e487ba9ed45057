#pragma once

#include "workflow/app_state.h"

#include <string>
#include <vector>

namespace vidorel {

// What the status panel shows for one moment of the workflow.
enum class StatusMark { secondary, red, yellow, blue };

struct StatusHint {
  std::string keyText;
  std::string label;
  bool operator==(const StatusHint&) const = default;
};

struct StatusContent {
  StatusMark mark = StatusMark::secondary;
  std::string title;
  // Fixed texts naming the factory keys, whatever the user's bindings.
  std::vector<StatusHint> hints;
};

// sceneNumber is the current scene's 1-based number (1 without a session);
// takeNumber the number the running take bears.
StatusContent statusContent(AppState state, int sceneNumber, int takeNumber);

struct PanelPoint {
  int x = 0;
  int y = 0;
  bool operator==(const PanelPoint&) const = default;
};

struct PanelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// Wide enough for a key column that holds "Ctrl+Shift+Return" beside the
// longest label.
inline constexpr int kStatusPanelWidth = 260;
inline constexpr int kStatusPanelHeight = 110;
inline constexpr int kStatusPanelTopGap = 12;

// Top-left corner of the panel in screen coordinates (y grows downwards):
// centred horizontally in the work area, its top edge 12 px below the work
// area's top.
PanelPoint statusPanelOrigin(const PanelRect& workArea, int panelWidth);

} // namespace vidorel
