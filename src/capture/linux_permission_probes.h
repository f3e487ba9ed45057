#pragma once

#include "workflow/permissions.h"

namespace vidorel {

// A plain X11 desktop has no per-program permissions: the screen counts as
// granted when the X display can be read, the microphone as authorized when
// the audio server accepts a connection and denied when it refuses.
class LinuxPermissionProbes final : public PermissionProbes {
public:
  MicrophoneAuthorization microphoneStatus() override;
  void requestMicrophoneAccess(std::function<void(bool)> answer) override;
  bool screenCapturePreflight() override;
  void requestScreenCaptureAccess() override {}
  void fetchShareableContent(std::function<void(std::optional<ShareableContent>)> answer) override;
  void openSettings(SettingsPane pane) override;
};

// Starts the first of the commands that exists on PATH, without waiting for
// it. False when none could be started.
bool startFirstAvailable(const std::vector<std::vector<std::string>>& commands);

} // namespace vidorel
