#include "capture/portal_capture_backend.h"

#include "capture/capture_error.h"
#include "capture/pipewire_screen_source.h"
#include "workflow/preferences.h"

#include <cstdlib>

namespace vidorel {

bool isWaylandSession() {
  const char* display = std::getenv("WAYLAND_DISPLAY");
  return display && *display;
}

PortalCaptureBackend::PortalCaptureBackend(Logger& logger, DurationProbe& probe,
                                           DefaultsStore& defaults)
    : logger_(logger), defaults_(defaults), shared_(logger, probe), cast_(logger) {}

ScreenCastOutcome PortalCaptureBackend::ensureStarted() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (cast_.isStarted())
    return ScreenCastOutcome::started;
  refused_ = false;
  start_ = cast_.start(defaults_);
  refused_ = start_.outcome == ScreenCastOutcome::refused;
  started_ = start_.outcome == ScreenCastOutcome::started;
  if (!started_)
    logger_.error(LogCategory::recorder, "portal: screen cast not started: " + start_.error);
  return start_.outcome;
}

ShareableContent PortalCaptureBackend::shareableContent() {
  ScreenCastOutcome outcome = ensureStarted();
  // A refusal is the user's answer, not a missing display: a caller that
  // has no permission flow of its own (the record command) says so.
  if (outcome == ScreenCastOutcome::refused)
    throw CaptureFailure(std::string(kScreenRefusedDescription));
  if (outcome != ScreenCastOutcome::started)
    throw CaptureFailure(RecorderError::noDisplay);
  std::lock_guard<std::mutex> lock(mutex_);
  ShareableContent content;
  content.displays.push_back(DisplayInfo{"portal", 0, 0, start_.width, start_.height});
  return content;
}

std::unique_ptr<DisplayStream>
PortalCaptureBackend::makeStream(const DisplayInfo&, const StreamConfiguration& configuration,
                                 std::function<void(std::string)> didStopWithError) {
  std::lock_guard<std::mutex> lock(mutex_);
  int fd = cast_.openPipeWireRemote();
  if (fd < 0)
    throw CaptureFailure(std::string("the screen cast portal gave no PipeWire connection"));
  return makePipeWireDisplayStream(logger_, fd, start_.node, configuration,
                                   std::move(didStopWithError));
}

std::unique_ptr<MicrophoneSession> PortalCaptureBackend::makeMicrophoneSession() {
  return shared_.makeMicrophoneSession();
}

std::unique_ptr<TakeWriter> PortalCaptureBackend::makeTakeWriter(const std::filesystem::path& url,
                                                                 int width, int height) {
  return shared_.makeTakeWriter(url, width, height);
}

PortalPermissionProbes::~PortalPermissionProbes() {
  if (request_.joinable())
    request_.join();
}

void PortalPermissionProbes::requestScreenCaptureAccess() {
  if (requesting_)
    return;
  if (request_.joinable())
    request_.join();
  requesting_ = true;
  backend_.forgetRefusal();
  request_ = std::thread([this] {
    (void)backend_.ensureStarted();
    requesting_ = false;
  });
}

void PortalPermissionProbes::fetchShareableContent(
    std::function<void(std::optional<ShareableContent>)> answer) {
  if (!backend_.isStarted()) {
    answer(std::nullopt);
    return;
  }
  answer(backend_.shareableContent());
}

} // namespace vidorel
