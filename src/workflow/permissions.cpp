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
  showSettingsAlert("Microphone access required",
                    "Enable Microphone access for Vidorel in System Settings → Privacy & "
                    "Security, then try again.",
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
  showSettingsAlert("Screen Recording access required",
                    "Enable Screen Recording for Vidorel in System Settings → Privacy & "
                    "Security, then try again.",
                    SettingsPane::screenRecording);
  co_return false;
}

void PermissionsCoordinator::showSettingsAlert(const std::string& title, const std::string& message,
                                               SettingsPane pane) {
  Alert alert{title, message, AlertStyle::informational, {"Open System Settings", "Cancel"}};
  if (alerts_.runModal(alert) == 0)
    probes_.openSettings(pane);
}

} // namespace vidorel
