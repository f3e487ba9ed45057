#include "capture/take_writer.h"

#include "base/format.h"

#include <algorithm>
#include <cmath>

namespace vidorel {

namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;

std::int64_t toOutputSamples(std::int64_t nanoseconds) {
  // Rounded down, also for negative times (before the first frame).
  std::int64_t scaled = nanoseconds * AudioTimeline::kOutputRate;
  std::int64_t samples = scaled / kNanosecondsPerSecond;
  if (scaled % kNanosecondsPerSecond < 0)
    --samples;
  return samples;
}

} // namespace

TakeWriter::TakeWriter(std::filesystem::path outputURL, std::unique_ptr<TakeEncoder> encoder,
                       DurationProbe& probe, Logger& logger)
    : outputURL_(std::move(outputURL)), encoder_(std::move(encoder)), probe_(probe),
      logger_(logger) {}

TakeWriter::~TakeWriter() = default;

WriterStatus TakeWriter::status() const {
  return encoder_ ? encoder_->status() : WriterStatus::unknown;
}

std::string TakeWriter::errorText() const {
  if (!encoder_)
    return "nil";
  std::string text = encoder_->errorDescription();
  return text.empty() ? "nil" : text;
}

void TakeWriter::setFailureHandler(TakeEncoder::FailureHandler handler) {
  if (encoder_)
    encoder_->setFailureHandler(std::move(handler));
}

void TakeWriter::noteUnchangedFrame(CaptureTime time) {
  if (!sessionStarted_)
    return;
  lastSampleEnd_ = std::max(lastSampleEnd_, time);
  lastFrameSeen_ = std::max(lastFrameSeen_, time);
  if (isPaused_ || !encoder_ || encoder_->status() != WriterStatus::writing)
    return;
  if (time - lastVideoWritten_ < kStillRepeatInterval || !encoder_->isReadyForVideo())
    return;
  encoder_->repeatVideo(time - origin_);
  lastVideoWritten_ = time;
  ++counts_.videoRepeated;
}

void TakeWriter::setPaused(bool paused) {
  bool pausing = paused && !isPaused_;
  isPaused_ = paused;
  if (!pausing || !sessionStarted_ || !encoder_ || encoder_->status() != WriterStatus::writing)
    return;
  // Whatever the take holds up to the pause reaches the disk now, its last
  // picture included (it lasts at least until the pause).
  constexpr CaptureTime kOneMillisecond = 1'000'000;
  CaptureTime still = std::max(lastFrameSeen_, lastVideoWritten_ + kOneMillisecond);
  encoder_->repeatVideo(still - origin_);
  lastVideoWritten_ = still;
  lastSampleEnd_ = std::max(lastSampleEnd_, still);
  ++counts_.videoRepeated;
  encoder_->flush();
}

void TakeWriter::appendVideo(const VideoFrame& frame) {
  if (isPaused_) {
    ++counts_.videoPaused;
    // Paused time stays in the timeline, also at the end of the take.
    noteUnchangedFrame(frame.timestamp);
    return;
  }
  if (!encoder_)
    return;
  if (!sessionStarted_) {
    bool started = encoder_->startWriting();
    origin_ = frame.timestamp;
    sessionStarted_ = true;
    logger_.info(LogCategory::writer,
                 formatString("session started (startWriting=%d, status=%ld)", started ? 1 : 0,
                              static_cast<long>(encoder_->status())));
  }
  if (encoder_->status() != WriterStatus::writing || !encoder_->isReadyForVideo()) {
    ++counts_.videoNotReady;
    return;
  }
  std::int64_t time = frame.timestamp - origin_;
  encoder_->appendVideo(frame, time);
  ++counts_.videoWritten;
  lastSampleEnd_ = std::max(lastSampleEnd_, frame.timestamp);
  lastVideoWritten_ = frame.timestamp;
  lastFrameSeen_ = std::max(lastFrameSeen_, frame.timestamp);
}

void TakeWriter::appendAudio(const AudioBuffer& buffer) {
  if (isPaused_) {
    ++counts_.audioPaused;
    return;
  }
  if (!sessionStarted_) {
    ++counts_.audioBeforeFirstFrame;
    return;
  }
  if (!encoder_ || encoder_->status() != WriterStatus::writing || !encoder_->isReadyForAudio() ||
      buffer.sampleRate <= 0) {
    ++counts_.audioNotReady;
    return;
  }
  int frames = buffer.frameCount();
  if (frames == 0)
    return;
  std::int64_t clockPosition = toOutputSamples(buffer.timestamp - origin_);
  std::int64_t length =
      (static_cast<std::int64_t>(frames) * AudioTimeline::kOutputRate) / buffer.sampleRate;
  AudioTimeline::Placement placement = audioTimeline_.place(clockPosition, length);
  if (placement.discard) {
    ++counts_.audioBeforeFirstFrame;
    return;
  }
  std::int64_t position = audioTimeline_.position() - (length - placement.skip);
  encoder_->appendAudio(buffer, position, placement.skip);
  ++counts_.audioWritten;
  CaptureTime end = buffer.timestamp +
                    static_cast<std::int64_t>(frames) * kNanosecondsPerSecond / buffer.sampleRate;
  lastSampleEnd_ = std::max(lastSampleEnd_, end);
}

double TakeWriter::finish() {
  logger_.info(LogCategory::writer,
               formatString("finish: writer=%d sessionStarted=%d status=%ld error=%s",
                            encoder_ ? 1 : 0, sessionStarted_ ? 1 : 0,
                            encoder_ ? static_cast<long>(status()) : -1L, errorText().c_str()));
  // The encoder finishes once, also when it failed while recording (it
  // closes the file with everything written before the failure) or never
  // started (it removes the empty file it created).
  if (encoder_ && !encoderFinished_) {
    encoderFinished_ = true;
    encoder_->finishWriting(sessionStarted_ ? std::max<std::int64_t>(0, lastSampleEnd_ - origin_)
                                            : 0);
  }
  logger_.info(LogCategory::writer,
               formatString("post-finish status=%ld error=%s",
                            encoder_ ? static_cast<long>(status()) : -1L, errorText().c_str()));
  logger_.info(
      LogCategory::writer,
      formatString("frames written=%lld repeated=%lld dropped: not-ready=%lld paused=%lld; audio "
                   "buffers "
                   "written=%lld dropped: before-first-frame=%lld not-ready=%lld paused=%lld; "
                   "audio corrections=%d",
                   static_cast<long long>(counts_.videoWritten),
                   static_cast<long long>(counts_.videoRepeated),
                   static_cast<long long>(counts_.videoNotReady),
                   static_cast<long long>(counts_.videoPaused),
                   static_cast<long long>(counts_.audioWritten),
                   static_cast<long long>(counts_.audioBeforeFirstFrame),
                   static_cast<long long>(counts_.audioNotReady),
                   static_cast<long long>(counts_.audioPaused), audioTimeline_.corrections()));
  std::optional<double> duration = probe_.duration(outputURL_);
  return duration.value_or(0.0);
}

} // namespace vidorel
