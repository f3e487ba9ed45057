#pragma once

#include "base/log.h"
#include "capture/screen_recorder.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vidorel {

// A monitor shared through the ScreenCast portal, read as a PipeWire video
// stream in shared memory (BGRx, BGRA, RGBx or RGBA) on PipeWire's own
// thread. Every buffer the compositor sends is a changed screen, so each is
// a complete frame; they are stamped on CLOCK_MONOTONIC. Frames whose size
// differs from the configured one (the monitor changed mode mid-take) are
// scaled to it, so a take keeps its first size.
//
// `pipeWireFd` is the remote the portal opened (the stream takes it over);
// `node` the stream's node id from the portal's Start answer.
std::unique_ptr<DisplayStream> makePipeWireDisplayStream(Logger& logger, int pipeWireFd,
                                                         std::uint32_t node,
                                                         const StreamConfiguration& configuration,
                                                         std::function<void(std::string)> didStop);

} // namespace vidorel
