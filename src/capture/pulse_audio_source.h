#pragma once

#include "capture/audio_recorder.h"

#include <memory>

namespace vidorel {

// The default source of the PulseAudio server (or PipeWire's pulse server),
// recorded as 48 kHz stereo float; buffers are stamped on CLOCK_MONOTONIC
// with the capture time of their first sample.
std::unique_ptr<MicrophoneSession> makePulseMicrophoneSession();

} // namespace vidorel
