#include "capture/screen_recorder.h"

#include "base/format.h"
#include "capture/capture_error.h"

#include <chrono>
#include <thread>

namespace vidorel {

namespace {

// The capture clock: CLOCK_MONOTONIC, which steady_clock reads on Linux.
CaptureTime captureNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// How long the stop waits for the microphone's last sound before the
// instant of the stop: its buffers arrive a latency late.
constexpr CaptureTime kAudioCatchUp = 1'000'000'000;
// A microphone that delivered nothing for this long is not waited for.
constexpr CaptureTime kAudioSilent = 300'000'000;

} // namespace

ScreenRecorder::ScreenRecorder(MainLoop& loop, Logger& logger, CaptureBackend& backend)
    : loop_(loop), logger_(logger), backend_(backend),
      sampleQueue_(std::string(kAppIdentifier) + ".samples") {}

ScreenRecorder::~ScreenRecorder() {
  stopMicrophone();
  if (stream_ && streamRunning_)
    stream_->stopCapture();
  sampleQueue_.drain();
}

bool ScreenRecorder::shouldWrite(const VideoFrame& frame) {
  if (!frame.isValid())
    return false;
  if (!frame.status)
    return false;
  return *frame.status == FrameStatus::complete;
}

void ScreenRecorder::stopMicrophone() {
  if (!audio_)
    return;
  audio_->stopRunning();
  audio_->clearOnSample();
  audio_.reset();
}

void ScreenRecorder::prepareMicrophone() {
  if (audio_) {
    audio_->stopRunning();
    audio_->clearOnSample();
  }
  auto recorder = std::make_unique<AudioRecorder>(sampleQueue_, backend_.makeMicrophoneSession());
  recorder->start();
  audio_ = std::move(recorder);
}

void ScreenRecorder::releaseMicrophone() {
  stopMicrophone();
}

void ScreenRecorder::installMicrophoneCallback() {
  std::weak_ptr<TakeWriter> weakWriter = writer_;
  std::shared_ptr<StopPoint> stop = stopPoint_;
  audio_->setOnSample([weakWriter, stop](const AudioBuffer& buffer) {
    if (stop) {
      stop->audioArrival = captureNow();
      if (buffer.sampleRate > 0)
        stop->audioEnd = buffer.timestamp + static_cast<CaptureTime>(buffer.frameCount()) *
                                                1'000'000'000 / buffer.sampleRate;
      // Sound from after the end of the take is not part of it.
      if (buffer.timestamp >= stop->at)
        return;
    }
    if (std::shared_ptr<TakeWriter> writer = weakWriter.lock())
      writer->appendAudio(buffer);
  });
}

Task<void> ScreenRecorder::startRecording(std::filesystem::path url,
                                          std::optional<ShareableContent> content) {
  ShareableContent shareable = content ? *content : backend_.shareableContent();
  DisplayChoice choice = chooseDisplay(shareable, options_.screen);
  if (!choice.display)
    throw CaptureFailure(RecorderError::noDisplay);
  const DisplayInfo& display = *choice.display;
  if (choice.fellBack)
    logger_.info(LogCategory::recorder,
                 formatString("screen %s is gone: recording %s", options_.screen.c_str(),
                              display.name.c_str()));

  // X11 coordinates are pixels: the scale factor is 1.
  StreamConfiguration configuration;
  configuration.width = display.width;
  configuration.height = display.height;
  PixelSize output = recordingPixelSize(display.width, display.height, options_.size);
  configuration.outputWidth = output.width;
  configuration.outputHeight = output.height;
  configuration.minimumFrameInterval = 1'000'000'000 / 60;
  configuration.showsCursor = true;

  // A start that fails must not leave the last take's writer in place: the
  // stop that follows would hand that take back as this one.
  writer_.reset();
  std::shared_ptr<TakeWriter> writer = backend_.makeTakeWriter(url, output.width, output.height);
  installFailureHandler(writer);
  writer_ = writer;

  Logger* logger = &logger_;
  auto stream = backend_.makeStream(display, configuration, [logger](std::string error) {
    logger->error(LogCategory::recorder,
                  formatString("stream stopped with error: %s", error.c_str()));
  });
  SampleQueue* queue = &sampleQueue_;
  std::weak_ptr<TakeWriter> weakWriter = writer;
  auto routing = std::make_shared<FrameRouting>();
  routing_ = routing;
  auto stop = std::make_shared<StopPoint>();
  stopPoint_ = stop;
  stream->startCapture([queue, weakWriter, routing, stop](VideoFrame frame) {
    queue->async([weakWriter, routing, stop, frame = std::move(frame)] {
      std::shared_ptr<TakeWriter> writer = weakWriter.lock();
      if (!writer || frame.timestamp > stop->at)
        return;
      if (shouldWrite(frame)) {
        if (!writer->isPaused())
          routing->writeNext = false;
        writer->appendVideo(frame);
      } else if (frame.status == FrameStatus::idle && routing->writeNext && frame.isValid() &&
                 !writer->isPaused()) {
        // An idle frame carries the screen as it is: written once after a
        // resume, it replaces what the take showed before the pause.
        routing->writeNext = false;
        writer->appendVideo(frame);
      } else if (frame.status == FrameStatus::idle) {
        writer->noteUnchangedFrame(frame.timestamp);
      }
    });
  });
  if (stream_ && streamRunning_)
    stream_->stopCapture();
  stream_ = std::move(stream);
  streamRunning_ = true;

  if (!audio_) {
    auto recorder = std::make_unique<AudioRecorder>(sampleQueue_, backend_.makeMicrophoneSession());
    recorder->start();
    audio_ = std::move(recorder);
  }
  installMicrophoneCallback();
  co_return;
}

void ScreenRecorder::installFailureHandler(const std::shared_ptr<TakeWriter>& writer) {
  MainLoop* loop = &loop_;
  std::weak_ptr<ScreenRecorder*> self = self_;
  std::weak_ptr<TakeWriter> weakWriter = writer;
  writer->setFailureHandler([loop, self, weakWriter](std::string description) {
    loop->post([self, weakWriter, description] {
      std::shared_ptr<ScreenRecorder*> recorder = self.lock();
      std::shared_ptr<TakeWriter> failed = weakWriter.lock();
      if (recorder && failed)
        (*recorder)->writerFailed(failed, description);
    });
  });
}

void ScreenRecorder::writerFailed(const std::shared_ptr<TakeWriter>& writer,
                                  const std::string& description) {
  // Only a take that is still recording ends here; a failure while it is
  // being stopped is the stop's to report.
  if (writer != writer_ || !streamRunning_)
    return;
  logger_.error(LogCategory::writer,
                formatString("take stopped: writing %s failed: %s",
                             writer->outputURL().filename().c_str(), description.c_str()));
  stopMicrophone();
  stream_->stopCapture();
  streamRunning_ = false;
  if (failureHandler_)
    failureHandler_(description);
}

void ScreenRecorder::pause() {
  logger_.info(LogCategory::recorder, "pause");
  std::weak_ptr<TakeWriter> weakWriter = writer_;
  sampleQueue_.async([weakWriter] {
    if (std::shared_ptr<TakeWriter> writer = weakWriter.lock())
      writer->setPaused(true);
  });
}

void ScreenRecorder::resume() {
  logger_.info(LogCategory::recorder, "resume");
  std::weak_ptr<TakeWriter> weakWriter = writer_;
  std::shared_ptr<FrameRouting> routing = routing_;
  sampleQueue_.async([weakWriter, routing] {
    std::shared_ptr<TakeWriter> writer = weakWriter.lock();
    if (!writer)
      return;
    writer->setPaused(false);
    if (routing)
      routing->writeNext = true;
  });
}

Task<std::optional<RecordedTake>> ScreenRecorder::stopRecording() {
  logger_.info(LogCategory::recorder,
               formatString("stop: stream=%d writer=%d", stream_ ? 1 : 0, writer_ ? 1 : 0));
  if (!stream_)
    co_return std::nullopt;
  // The screen and the microphone end at one instant of the capture clock:
  // frames and sound after it are dropped, and the microphone runs on until
  // its sound up to that instant has arrived, so the take's sound reaches
  // its last frame.
  std::shared_ptr<StopPoint> stop = stopPoint_;
  if (stop)
    stop->at = captureNow();
  std::shared_ptr<AudioRecorder> audio(std::move(audio_));

  DisplayStream* stream = streamRunning_ ? stream_.get() : nullptr;
  streamRunning_ = false;
  SampleQueue* queue = &sampleQueue_;
  std::shared_ptr<TakeWriter> writer = writer_;
  // Stopping the stream, draining the queue and finishing the file block,
  // so they run on a thread of their own; the task resumes on the loop.
  // (The awaiter is a named local: temporaries inside co_await expressions
  // are destroyed twice by some compilers.)
  using Duration = std::optional<double>;
  CallbackAwaiter<Duration>::Starter starter = [stream, queue, writer, audio,
                                                stop](std::function<void(Duration)> done) {
    std::thread([stream, queue, writer, audio, stop, done] {
      if (stream)
        stream->stopCapture();
      if (audio) {
        CaptureTime giveUp = captureNow() + kAudioCatchUp;
        while (stop && stop->audioEnd < stop->at) {
          CaptureTime now = captureNow();
          if (now > giveUp || now - stop->audioArrival > kAudioSilent)
            break;
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        audio->stopRunning();
      }
      queue->drain();
      if (audio)
        audio->clearOnSample();
      done(writer ? Duration(writer->finish()) : Duration());
    }).detach();
  };
  CallbackAwaiter<Duration> finished(loop_, std::move(starter));
  Duration duration = co_await finished;
  if (!duration)
    co_return std::nullopt;
  logger_.info(LogCategory::recorder,
               formatString("stopRecording: %s duration=%fs",
                            writer->outputURL().filename().c_str(), *duration));
  co_return RecordedTake{writer->outputURL(), *duration};
}

} // namespace vidorel
