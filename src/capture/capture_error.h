#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace vidorel {

// The screen recorder's own failure.
enum class RecorderError { noDisplay };
// The microphone recorder's own failure.
enum class AudioError { noMicrophone };

std::string description(RecorderError error);
std::string description(AudioError error);

// What the capture pipeline throws: one of its own errors, or a platform
// error (file, X server, audio server, encoder) with the platform's text.
class CaptureFailure : public std::runtime_error {
public:
  explicit CaptureFailure(RecorderError error);
  explicit CaptureFailure(AudioError error);
  explicit CaptureFailure(const std::string& platformDescription);

  std::string description() const { return what(); }
  std::optional<RecorderError> recorderError() const { return recorderError_; }
  std::optional<AudioError> audioError() const { return audioError_; }

private:
  std::optional<RecorderError> recorderError_;
  std::optional<AudioError> audioError_;
};

} // namespace vidorel
