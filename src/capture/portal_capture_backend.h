#pragma once

#include "capture/linux_permission_probes.h"
#include "capture/portal_screen_cast.h"
#include "capture/screen_recorder.h"
#include "capture/x11_screen_source.h"
#include "workflow/permissions.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

namespace vidorel {

class DefaultsStore;

// Why a start fails when the user refused the desktop's screen-sharing
// dialog.
inline constexpr const char* kScreenRefusedDescription =
    "Screen Recording access required: the screen was not shared in the desktop's "
    "screen-sharing dialog.";

// True in a Wayland session, where an X11 grab would see only XWayland
// windows: capture then goes through the ScreenCast portal.
bool isWaylandSession();

// The screen recorder's services on Wayland: the monitor the user shares
// through the ScreenCast portal (asked once, then restored with the token
// kept in the defaults), read from PipeWire; the microphone and the take
// writer are the same as on X11. The portal session stays open for the
// whole run, each take opens its own PipeWire connection to it.
class PortalCaptureBackend final : public CaptureBackend {
public:
  PortalCaptureBackend(Logger& logger, DurationProbe& probe, DefaultsStore& defaults);

  // Starts the portal session unless it runs: the desktop's dialog shows
  // when it has no valid restore token. Blocks until the user answered.
  ScreenCastOutcome ensureStarted();
  // Both answer at once, also while a start waits for the user.
  bool isStarted() const { return started_; }
  // The last start was refused by the user.
  bool wasRefused() const { return refused_; }
  // A new request is under way: the last refusal no longer holds.
  void forgetRefusal() { refused_ = false; }

  ShareableContent shareableContent() override;
  std::unique_ptr<DisplayStream>
  makeStream(const DisplayInfo& display, const StreamConfiguration& configuration,
             std::function<void(std::string)> didStopWithError) override;
  std::unique_ptr<MicrophoneSession> makeMicrophoneSession() override;
  std::unique_ptr<TakeWriter> makeTakeWriter(const std::filesystem::path& url, int width,
                                             int height) override;

private:
  Logger& logger_;
  DefaultsStore& defaults_;
  X11CaptureBackend shared_;
  std::mutex mutex_;
  PortalScreenCast cast_;
  ScreenCastStart start_;
  std::atomic<bool> started_ = false;
  std::atomic<bool> refused_ = false;
};

// The screen-recording permission on Wayland is the portal's dialog:
// granted when the session started, refused when the user cancelled it.
// The microphone and the settings are asked as on X11.
// The dialog is waited for on a thread of its own, so the app stays
// responsive while the coordinator polls for the answer.
class PortalPermissionProbes final : public PermissionProbes {
public:
  explicit PortalPermissionProbes(PortalCaptureBackend& backend) : backend_(backend) {}
  ~PortalPermissionProbes() override;
  PortalPermissionProbes(const PortalPermissionProbes&) = delete;
  PortalPermissionProbes& operator=(const PortalPermissionProbes&) = delete;

  MicrophoneAuthorization microphoneStatus() override { return linux_.microphoneStatus(); }
  void requestMicrophoneAccess(std::function<void(bool)> answer) override {
    linux_.requestMicrophoneAccess(std::move(answer));
  }
  bool screenCapturePreflight() override { return backend_.isStarted(); }
  void requestScreenCaptureAccess() override;
  bool screenCaptureRefused() override { return backend_.wasRefused(); }
  bool screenSharedThroughDialog() override { return true; }
  void fetchShareableContent(std::function<void(std::optional<ShareableContent>)> answer) override;
  void openSettings(SettingsPane pane) override { linux_.openSettings(pane); }

private:
  PortalCaptureBackend& backend_;
  LinuxPermissionProbes linux_;
  std::thread request_;
  std::atomic<bool> requesting_ = false;
};

} // namespace vidorel
