#include "capture/audio_recorder.h"

namespace vidorel {

AudioRecorder::AudioRecorder(SampleQueue& sampleQueue, std::unique_ptr<MicrophoneSession> session)
    : sampleQueue_(sampleQueue), session_(std::move(session)),
      callbacks_(std::make_shared<Callbacks>()) {}

AudioRecorder::~AudioRecorder() {
  stopRunning();
}

void AudioRecorder::start() {
  std::shared_ptr<Callbacks> callbacks = callbacks_;
  SampleQueue* queue = &sampleQueue_;
  session_->startRunning([callbacks, queue](AudioBuffer buffer) {
    ++callbacks->delivered;
    queue->async([callbacks, buffer = std::move(buffer)] {
      Callback callback;
      {
        std::lock_guard lock(callbacks->mutex);
        callback = callbacks->onSample;
      }
      if (callback)
        callback(buffer);
    });
  });
  running_ = true;
}

void AudioRecorder::stopRunning() {
  if (!running_)
    return;
  running_ = false;
  session_->stopRunning();
}

void AudioRecorder::setOnSample(Callback callback) {
  std::lock_guard lock(callbacks_->mutex);
  callbacks_->onSample = std::move(callback);
}

} // namespace vidorel
