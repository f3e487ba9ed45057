#include "capture/capture_error.h"

namespace vidorel {

std::string description(RecorderError error) {
  switch (error) {
  case RecorderError::noDisplay:
    return "No display is available to record.";
  }
  return {};
}

std::string description(AudioError error) {
  switch (error) {
  case AudioError::noMicrophone:
    return "No microphone is available.";
  }
  return {};
}

CaptureFailure::CaptureFailure(RecorderError error)
    : std::runtime_error(vidorel::description(error)), recorderError_(error) {}

CaptureFailure::CaptureFailure(AudioError error)
    : std::runtime_error(vidorel::description(error)), audioError_(error) {}

CaptureFailure::CaptureFailure(const std::string& platformDescription)
    : std::runtime_error(platformDescription) {}

} // namespace vidorel
