#pragma once

#include "capture/screen_recorder.h"
#include "store/duration_probe.h"

#include <memory>

namespace vidorel {

// The Linux services behind the screen recorder: a monitor of the X display
// in $DISPLAY grabbed through MIT-SHM, DAMAGE to tell which rows changed, the XFIXES cursor drawn
// in, and the windows of this process left out by recomposing the area
// under them from the other top-level windows (XComposite); the default
// PulseAudio source; the FFmpeg take writer.
class X11CaptureBackend final : public CaptureBackend {
public:
  X11CaptureBackend(Logger& logger, DurationProbe& probe);

  ShareableContent shareableContent() override;
  std::unique_ptr<DisplayStream>
  makeStream(const DisplayInfo& display, const StreamConfiguration& configuration,
             std::function<void(std::string)> didStopWithError) override;
  std::unique_ptr<MicrophoneSession> makeMicrophoneSession() override;
  std::unique_ptr<TakeWriter> makeTakeWriter(const std::filesystem::path& url, int width,
                                             int height) override;

private:
  Logger& logger_;
  DurationProbe& probe_;
};

// The displays of the X server in $DISPLAY (empty when it cannot be opened).
ShareableContent x11ShareableContent();

// A stream of one display, on its own xcb connection and thread. Windows
// whose _NET_WM_PID is this process are left out of every frame.
std::unique_ptr<DisplayStream> makeX11DisplayStream(const DisplayInfo& display,
                                                    const StreamConfiguration& configuration,
                                                    std::function<void(std::string)> didStop);

} // namespace vidorel
