#pragma once

#include "capture/capture_error.h"
#include "capture/screen_recorder.h"
#include "fakes/fake_take_encoder.h"

#include <memory>
#include <optional>
#include <string>

namespace vidorel {

// What the fake backend hands out and was asked; shared, so a test can
// change the answers between calls.
struct FakeCaptureLog {
  ShareableContent content{{DisplayInfo{"fake", 0, 0, 640, 480}}};
  // When set, the matching step throws a CaptureFailure.
  bool noMicrophone = false;
  std::optional<std::string> writerFailure;
  int microphoneStarts = 0;
  int microphoneStops = 0;
  int streamsStarted = 0;
  int streamsStopped = 0;
  int writersMade = 0;
  // The running stream's output, for a test to deliver frames through.
  DisplayStream::Output output;
  // When set, writers get a fake encoder recording into it.
  std::shared_ptr<FakeTakeEncoderLog> encoder;
};

class FakeMicrophoneSession final : public MicrophoneSession {
public:
  explicit FakeMicrophoneSession(std::shared_ptr<FakeCaptureLog> log) : log_(std::move(log)) {}
  void startRunning(Delivery) override {
    if (log_->noMicrophone)
      throw CaptureFailure(AudioError::noMicrophone);
    ++log_->microphoneStarts;
  }
  void stopRunning() override { ++log_->microphoneStops; }

private:
  std::shared_ptr<FakeCaptureLog> log_;
};

class FakeDisplayStream final : public DisplayStream {
public:
  explicit FakeDisplayStream(std::shared_ptr<FakeCaptureLog> log) : log_(std::move(log)) {}
  void startCapture(Output output) override {
    ++log_->streamsStarted;
    log_->output = std::move(output);
  }
  void stopCapture() override {
    ++log_->streamsStopped;
    log_->output = nullptr;
  }

private:
  std::shared_ptr<FakeCaptureLog> log_;
};

// A capture backend without display, audio server or encoder: writers have
// no encoder, so they drop everything and finish without a file.
class FakeCaptureBackend final : public CaptureBackend {
public:
  FakeCaptureBackend(std::shared_ptr<FakeCaptureLog> log, DurationProbe& probe, Logger& logger)
      : log_(std::move(log)), probe_(probe), logger_(logger) {}

  ShareableContent shareableContent() override { return log_->content; }
  std::unique_ptr<DisplayStream> makeStream(const DisplayInfo&, const StreamConfiguration&,
                                            std::function<void(std::string)>) override {
    return std::make_unique<FakeDisplayStream>(log_);
  }
  std::unique_ptr<MicrophoneSession> makeMicrophoneSession() override {
    return std::make_unique<FakeMicrophoneSession>(log_);
  }
  std::unique_ptr<TakeWriter> makeTakeWriter(const std::filesystem::path& url, int, int) override {
    if (log_->writerFailure)
      throw CaptureFailure(*log_->writerFailure);
    ++log_->writersMade;
    std::unique_ptr<TakeEncoder> encoder;
    if (log_->encoder)
      encoder = std::make_unique<FakeTakeEncoder>(log_->encoder);
    return std::make_unique<TakeWriter>(url, std::move(encoder), probe_, logger_);
  }

private:
  std::shared_ptr<FakeCaptureLog> log_;
  DurationProbe& probe_;
  Logger& logger_;
};

} // namespace vidorel
