#pragma once

#include "base/log.h"
#include "base/main_loop.h"
#include "base/sample_queue.h"
#include "base/task.h"
#include "capture/audio_recorder.h"
#include "capture/capture_types.h"
#include "capture/take_writer.h"
#include "workflow/recording_types.h"
#include "workflow/screen_choice.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vidorel {

struct StreamConfiguration {
  // The part of the screen grabbed, in pixels.
  int width = 0;
  int height = 0;
  // The size frames are delivered at (scaled down while they are
  // converted); 0 for the grabbed size.
  int outputWidth = 0;
  int outputHeight = 0;
  // At most one frame per interval.
  std::int64_t minimumFrameInterval = 1'000'000'000 / 60;
  bool showsCursor = true;
};

// One capture stream of one display. Frames go to the output from the
// stream's own thread; the recorder moves them onto the sample queue.
class DisplayStream {
public:
  using Output = std::function<void(VideoFrame)>;
  virtual ~DisplayStream() = default;
  // Returns once capture runs. Throws CaptureFailure.
  virtual void startCapture(Output output) = 0;
  // No output happens after this returns. Never fails.
  virtual void stopCapture() = 0;
};

// The platform services the recorder stands on.
class CaptureBackend {
public:
  virtual ~CaptureBackend() = default;
  // Throws CaptureFailure when the display server cannot be asked.
  virtual ShareableContent shareableContent() = 0;
  // didStopWithError is called (from any thread) when the stream ends on its
  // own, with the error's description. The program's own windows are left
  // out of the stream's frames.
  virtual std::unique_ptr<DisplayStream>
  makeStream(const DisplayInfo& display, const StreamConfiguration& configuration,
             std::function<void(std::string)> didStopWithError) = 0;
  virtual std::unique_ptr<MicrophoneSession> makeMicrophoneSession() = 0;
  // Throws CaptureFailure when the file cannot be created.
  virtual std::unique_ptr<TakeWriter> makeTakeWriter(const std::filesystem::path& url, int width,
                                                     int height) = 0;
};

// Which monitor the next take records and at what size.
struct RecordingOptions {
  // Empty for the first monitor.
  std::string screen;
  RecordingSize size = RecordingSize::full;
};

// Records one take at a time: the chosen display and the microphone into
// the movie file the caller names. All operations are called on the main loop.
// Every frame, every microphone buffer and every pause switch reaches the
// writer through the one sample queue, which is drained before the writer
// finishes.
class ScreenRecorder {
public:
  ScreenRecorder(MainLoop& loop, Logger& logger, CaptureBackend& backend);
  ~ScreenRecorder();
  ScreenRecorder(const ScreenRecorder&) = delete;
  ScreenRecorder& operator=(const ScreenRecorder&) = delete;

  // Replaces any prepared microphone by a new, started one. Throws
  // CaptureFailure; the previous microphone is stopped either way.
  void prepareMicrophone();
  void releaseMicrophone();
  // Throws CaptureFailure: RecorderError::noDisplay, a writer or stream
  // failure, or (with capture already running) AudioError::noMicrophone.
  Task<void> startRecording(std::filesystem::path url, std::optional<ShareableContent> content);
  // Read at the next start.
  void setOptions(RecordingOptions options) { options_ = std::move(options); }
  void pause();
  void resume();
  // Nothing when no take was recording.
  Task<std::optional<RecordedTake>> stopRecording();
  // Called on the main loop, once, when writing the take fails while it
  // records (disk full, I/O error). Capture has then been stopped; the
  // take still has to be stopped, which returns what was written before.
  void setFailureHandler(std::function<void(std::string description)> handler) {
    failureHandler_ = std::move(handler);
  }

  SampleQueue& sampleQueue() { return sampleQueue_; }
  bool hasMicrophone() const { return audio_ != nullptr; }
  // Whether the prepared microphone has delivered sound yet.
  bool microphoneDelivers() const { return audio_ && audio_->buffersDelivered() > 0; }
  // The writer of the current or last take (for its counts).
  std::shared_ptr<TakeWriter> writer() const { return writer_; }

  // Routing rules of the sample queue: only valid, complete frames reach
  // the writer. Public so they can be checked on their own.
  static bool shouldWrite(const VideoFrame& frame);

private:
  // State of the frame routing, touched on the sample queue only.
  struct FrameRouting {
    // Set at resume: the next frame is written even if the screen did not
    // change, so a change made while paused shows from the resume on.
    bool writeNext = false;
  };
  // Where the take ends on the capture clock, and how far the microphone
  // has got; shared by the main loop, the sample queue and the stop.
  struct StopPoint {
    std::atomic<CaptureTime> at{std::numeric_limits<CaptureTime>::max()};
    std::atomic<CaptureTime> audioEnd{std::numeric_limits<CaptureTime>::min()};
    // Capture time at which the last microphone buffer reached the queue.
    std::atomic<CaptureTime> audioArrival{0};
  };

  void stopMicrophone();
  void installMicrophoneCallback();
  void installFailureHandler(const std::shared_ptr<TakeWriter>& writer);
  void writerFailed(const std::shared_ptr<TakeWriter>& writer, const std::string& description);

  MainLoop& loop_;
  Logger& logger_;
  CaptureBackend& backend_;
  std::unique_ptr<DisplayStream> stream_;
  bool streamRunning_ = false;
  std::shared_ptr<TakeWriter> writer_;
  std::shared_ptr<FrameRouting> routing_;
  std::shared_ptr<StopPoint> stopPoint_;
  std::unique_ptr<AudioRecorder> audio_;
  SampleQueue sampleQueue_;
  std::function<void(std::string)> failureHandler_;
  RecordingOptions options_;
  // Work posted from the encoder's thread finds the recorder through this,
  // and finds nothing once the recorder is gone.
  std::shared_ptr<ScreenRecorder*> self_ = std::make_shared<ScreenRecorder*>(this);
};

} // namespace vidorel
