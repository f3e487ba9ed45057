#include "shell/recording_status.h"

#include "base/format.h"

namespace vidorel {

namespace {

const char* const kReturnHint = "Ctrl+Shift+Return";
const char* const kNextSceneHint = "Ctrl+Shift+N";
const char* const kSpaceHint = "Ctrl+Shift+Space";
const char* const kRetakeHint = "Ctrl+Shift+R";

} // namespace

StatusContent statusContent(AppState state, int sceneNumber, int takeNumber) {
  StatusContent content;
  switch (state) {
  case AppState::idle:
    content.mark = StatusMark::secondary;
    content.title = formatString("Ready — S%dT%d", sceneNumber, takeNumber);
    content.hints = {{kReturnHint, "Start take"}, {kNextSceneHint, "Next scene"}};
    break;
  case AppState::recording:
    content.mark = StatusMark::red;
    content.title = formatString("REC — S%dT%d", sceneNumber, takeNumber);
    content.hints = {
        {kSpaceHint, "Pause"}, {kReturnHint, "End take"}, {kNextSceneHint, "End + next scene"}};
    break;
  case AppState::paused:
    content.mark = StatusMark::yellow;
    content.title = formatString("PAUSED — S%dT%d", sceneNumber, takeNumber);
    content.hints = {{kSpaceHint, "Resume"}, {kReturnHint, "End take"}};
    break;
  case AppState::reviewing:
    content.mark = StatusMark::blue;
    content.title = formatString("Review — S%d", sceneNumber);
    content.hints = {{kReturnHint, "Approve + new take"},
                     {kNextSceneHint, "Approve + new scene"},
                     {kRetakeHint, "Retake"}};
    break;
  }
  return content;
}

PanelPoint statusPanelOrigin(const PanelRect& workArea, int panelWidth) {
  PanelPoint origin;
  origin.x = workArea.x + (workArea.width - panelWidth) / 2;
  origin.y = workArea.y + kStatusPanelTopGap;
  return origin;
}

} // namespace vidorel
