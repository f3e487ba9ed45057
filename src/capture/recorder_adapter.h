#pragma once

#include "capture/screen_recorder.h"
#include "workflow/collaborators.h"

namespace vidorel {

// The screen recorder as the workflow's Recorder. The recorder throws
// CaptureFailure, and its backends may let a platform error through; the
// workflow wants the failure's text to show, so every failure becomes that
// text and nothing escapes into the coordinator's tasks.
class ScreenRecorderAdapter final : public Recorder {
public:
  // options, when given, is asked at every start which monitor and size
  // the take records (the user may have changed them in Settings).
  explicit ScreenRecorderAdapter(ScreenRecorder& recorder,
                                 std::function<RecordingOptions()> options = nullptr)
      : recorder_(recorder), options_(std::move(options)) {}

  std::optional<std::string> prepareMicrophone() override;
  void releaseMicrophone() override { recorder_.releaseMicrophone(); }
  Task<std::optional<std::string>> startRecording(std::filesystem::path url,
                                                  std::optional<ShareableContent> content) override;
  Task<std::optional<RecordedTake>> stopRecording() override;
  void pause() override { recorder_.pause(); }
  void resume() override { recorder_.resume(); }
  void setFailureHandler(std::function<void(std::string)> handler) override {
    recorder_.setFailureHandler(std::move(handler));
  }

private:
  ScreenRecorder& recorder_;
  std::function<RecordingOptions()> options_;
};

} // namespace vidorel
