#pragma once

#include "capture/take_writer.h"

#include <memory>
#include <vector>

namespace vidorel {

// What a TakeWriter hands to its encoder; shared, so a test can still read
// it after the writer (which owns the encoder) is gone.
struct FakeTakeEncoderLog {
  struct Audio {
    std::int64_t position;
    std::int64_t skip;
    int frames;
  };
  std::vector<std::int64_t> videoTimes;
  std::vector<std::int64_t> repeatTimes;
  int flushes = 0;
  // Set by the writer; a test calls it to play a write failure.
  TakeEncoder::FailureHandler failureHandler;
  std::vector<Audio> audio;
  int startCalls = 0;
  int finishCalls = 0;
  std::int64_t finishEndTime = -1;
  bool startSucceeds = true;
  bool videoReady = true;
  WriterStatus status = WriterStatus::unknown;
};

class FakeTakeEncoder final : public TakeEncoder {
public:
  explicit FakeTakeEncoder(std::shared_ptr<FakeTakeEncoderLog> log) : log_(std::move(log)) {}

  void setFailureHandler(FailureHandler handler) override {
    log_->failureHandler = std::move(handler);
  }
  bool startWriting() override {
    ++log_->startCalls;
    log_->status = log_->startSucceeds ? WriterStatus::writing : WriterStatus::failed;
    return log_->startSucceeds;
  }
  WriterStatus status() const override { return log_->status; }
  std::string errorDescription() const override {
    return log_->status == WriterStatus::failed ? "disk full" : "";
  }
  bool isReadyForVideo() const override { return log_->videoReady; }
  bool isReadyForAudio() const override { return true; }
  void appendVideo(const VideoFrame&, std::int64_t time) override {
    log_->videoTimes.push_back(time);
  }
  void appendAudio(const AudioBuffer& buffer, std::int64_t position, std::int64_t skip) override {
    log_->audio.push_back({position, skip, buffer.frameCount()});
  }
  void repeatVideo(std::int64_t time) override { log_->repeatTimes.push_back(time); }
  void flush() override { ++log_->flushes; }
  void finishWriting(std::int64_t endTime) override {
    ++log_->finishCalls;
    log_->finishEndTime = endTime;
    if (log_->status == WriterStatus::writing)
      log_->status = WriterStatus::completed;
  }

private:
  std::shared_ptr<FakeTakeEncoderLog> log_;
};

} // namespace vidorel
