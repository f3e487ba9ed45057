#pragma once

#include "base/log.h"
#include "base/main_loop.h"
#include "base/task.h"
#include "workflow/platform.h"
#include "workflow/recording_types.h"

#include <functional>
#include <optional>

namespace vidorel {

enum class MicrophoneAuthorization { notDetermined, authorized, denied, restricted };

// The desktop's settings the user can be sent to. The screen has none: on
// X11 nothing is granted (the display either can be read or not), and on
// Wayland the desktop asks in its screen-sharing dialog at every start.
enum class SettingsPane { microphone };

// The platform's answers about access to the microphone and the screen.
class PermissionProbes {
public:
  virtual ~PermissionProbes() = default;
  virtual MicrophoneAuthorization microphoneStatus() = 0;
  // Answers on any thread.
  virtual void requestMicrophoneAccess(std::function<void(bool)> answer) = 0;
  virtual bool screenCapturePreflight() = 0;
  virtual void requestScreenCaptureAccess() = 0;
  // True once the user answered the request with no: there is nothing to
  // wait for (the screen-cast portal's dialog was cancelled).
  virtual bool screenCaptureRefused() { return false; }
  // True where access to the screen is the desktop's screen-sharing dialog
  // (Wayland), false where it is whether the X display can be read.
  virtual bool screenSharedThroughDialog() { return false; }
  // Answers on any thread; nothing when the content cannot be fetched.
  virtual void
  fetchShareableContent(std::function<void(std::optional<ShareableContent>)> answer) = 0;
  virtual void openSettings(SettingsPane pane) = 0;
};

// Makes sure the microphone and the screen can be recorded, asks when that
// is undecided and explains how to grant access when it was refused. Keeps
// the last shareable content fetched for the recorder.
class PermissionsCoordinator {
public:
  static constexpr int kScreenAccessPolls = 240;
  static constexpr Milliseconds kPollInterval{500};

  PermissionsCoordinator(MainLoop& loop, PermissionProbes& probes, AlertPresenter& alerts,
                         Activation& activation)
      : loop_(loop), probes_(probes), alerts_(alerts), activation_(activation) {}

  Task<void> runLaunchFlow();
  Task<bool> ensureMicrophoneAccess();
  Task<bool> ensureScreenRecordingAccess();
  Task<bool> refreshShareableContent();
  void showSettingsAlert(const std::string& title, const std::string& message, SettingsPane pane);
  void showScreenAlert();

  const std::optional<ShareableContent>& cachedContent() const { return cachedContent_; }
  bool launchFlowRan() const { return launchFlowRan_; }

private:
  Task<std::optional<ShareableContent>> fetchContent();

  MainLoop& loop_;
  PermissionProbes& probes_;
  AlertPresenter& alerts_;
  Activation& activation_;
  std::optional<ShareableContent> cachedContent_;
  bool launchFlowRan_ = false;
};

} // namespace vidorel
