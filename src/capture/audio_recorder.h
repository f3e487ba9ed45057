#pragma once

#include "base/sample_queue.h"
#include "capture/capture_types.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace vidorel {

// The platform half of the microphone: the default source of the audio
// server. It delivers buffers from a thread of its own.
class MicrophoneSession {
public:
  using Delivery = std::function<void(AudioBuffer)>;
  virtual ~MicrophoneSession() = default;
  // Opens the default source and starts delivering; returns once buffers
  // flow. Throws CaptureFailure(AudioError::noMicrophone) when there is no
  // audio server or no default source.
  virtual void startRunning(Delivery deliver) = 0;
  // No delivery happens after this returns.
  virtual void stopRunning() = 0;
};

// Captures the default microphone and hands every buffer, on the sample
// queue, to onSample. Between start() and the take the callback is empty and
// buffers are dropped: the device warms up during the countdown.
class AudioRecorder {
public:
  using Callback = std::function<void(const AudioBuffer&)>;

  AudioRecorder(SampleQueue& sampleQueue, std::unique_ptr<MicrophoneSession> session);
  ~AudioRecorder();
  AudioRecorder(const AudioRecorder&) = delete;
  AudioRecorder& operator=(const AudioRecorder&) = delete;

  // Throws CaptureFailure (AudioError::noMicrophone, or the server's error).
  void start();
  void stopRunning();
  // Takes effect for every buffer the queue handles after the call.
  void setOnSample(Callback callback);
  void clearOnSample() { setOnSample(nullptr); }

  SampleQueue& sampleQueue() { return sampleQueue_; }
  // Buffers the session has delivered so far (with or without a callback).
  std::int64_t buffersDelivered() const { return callbacks_->delivered; }

private:
  // Shared with the work items on the queue, which may outlive the recorder.
  struct Callbacks {
    std::mutex mutex;
    Callback onSample;
    std::atomic<std::int64_t> delivered{0};
  };

  SampleQueue& sampleQueue_;
  std::unique_ptr<MicrophoneSession> session_;
  std::shared_ptr<Callbacks> callbacks_;
  bool running_ = false;
};

} // namespace vidorel
