#include "workflow/permissions.h"
#include <cstdio>

namespace vidorel {

Task<void> PermissionsCoordinator::runLaunchFlow() {
  if (launchFlowRan_)
    co_return;
  launchFlowRan_ = true;
  // The questions must come to the front, above whatever the user works in.
  activation_.setActivationPolicy(ActivationPolicy::regular);
  activation_.activate();
  co_await sleepFor(loop_, Milliseconds(500));
  bool microphone = co_await ensureMicrophoneAccess();
  if (!microphone)
    co_return;
  (void)co_await ensureScreenRecordingAccess();
}

Task<bool> PermissionsCoordinator::ensureMicrophoneAccess() {
  switch (probes_.microphoneStatus()) {
  case MicrophoneAuthorization::authorized:
    co_return true;
  case MicrophoneAuthorization::notDetermined: {
    PermissionProbes* probes = &probes_;
    bool granted = co_await awaitCallback<bool>(loop_, [probes](std::function<void(bool)> answer) {
      probes->requestMicrophoneAccess(std::move(answer));
    });
    co_return granted;
  }
  case MicrophoneAuthorization::denied:
  case MicrophoneAuthorization::restricted:
    break;
  }
  // The audio server refused or did not answer: there is no per-program
  // microphone permission to grant, only a sound setup to look at.
  showSettingsAlert("Microphone access required",
                    "No microphone answered: the sound server could not be reached. Check the "
                    "input device in the desktop's sound settings, then try again.",
                    SettingsPane::microphone);
  co_return false;
}

Task<std::optional<ShareableContent>> PermissionsCoordinator::fetchContent() {
  PermissionProbes* probes = &probes_;
  co_return co_await awaitCallback<std::optional<ShareableContent>>(
      loop_, [probes](std::function<void(std::optional<ShareableContent>)> answer) {
        probes->fetchShareableContent(std::move(answer));
      });
}

Task<bool> PermissionsCoordinator::refreshShareableContent() {
  std::optional<ShareableContent> content = co_await fetchContent();
  if (!content)
    co_return false;
  cachedContent_ = std::move(content);
  co_return true;
}

Task<bool> PermissionsCoordinator::ensureScreenRecordingAccess() {
  if (probes_.screenCapturePreflight())
    co_return co_await refreshShareableContent();

  probes_.requestScreenCaptureAccess();
  int attempts = 0;
  while (true) {
    co_await sleepFor(loop_, kPollInterval);
    if (probes_.screenCapturePreflight())
      co_return co_await refreshShareableContent();
    if (probes_.screenCaptureRefused())
      break;
    // A fetch that works counts as access even while the preflight says no.
    std::optional<ShareableContent> content = co_await fetchContent();
    if (content) {
      cachedContent_ = std::move(content);
      co_return true;
    }
    if (++attempts == kScreenAccessPolls)
      break;
  }
  showScreenAlert();
  co_return false;
}

void PermissionsCoordinator::showScreenAlert() {
  if (probes_.screenSharedThroughDialog()) {
    alerts_.runModal(Alert{"Screen Recording access required",
                           "Vidorel records the screen only once you share it in the desktop's "
                           "screen-sharing dialog. Start the take again and choose the screen "
                           "to share there.",
                           AlertStyle::informational,
                           {}});
    return;
  }
  alerts_.runModal(Alert{"Screen could not be read",
                         "The X display could not be read, so there is no screen to record. "
                         "Check that Vidorel runs in your desktop session (the DISPLAY variable "
                         "names its display), then try again.",
                         AlertStyle::informational,
                         {}});
}

void PermissionsCoordinator::showSettingsAlert(const std::string& title, const std::string& message,
                                               SettingsPane pane) {
  Alert alert{title, message, AlertStyle::informational, {"Open Sound Settings", "Cancel"}};
  if (alerts_.runModal(alert) == 0)
    probes_.openSettings(pane);
}

} // namespace vidorel
