#include "capture/audio_recorder.h"
#include "capture/capture_error.h"
#include "capture/pulse_audio_source.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <sys/wait.h>
#include <thread>

namespace vidorel {
namespace {

CaptureTime now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<CaptureTime>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

struct Received {
  std::mutex mutex;
  std::vector<AudioBuffer> buffers;
  bool onQueue = true;

  std::size_t count() {
    std::lock_guard lock(mutex);
    return buffers.size();
  }
};

TEST(PulseMicrophoneTest, BuffersArriveOnTheSampleQueueWithCaptureTimes) {
  SampleQueue queue("org.vidorel.Vidorel.samples");
  AudioRecorder recorder(queue, makePulseMicrophoneSession());
  auto received = std::make_shared<Received>();
  CaptureTime started = now();
  recorder.start();
  // Set after the start: what comes before is dropped, the rest arrives.
  recorder.setOnSample([received, &queue](const AudioBuffer& buffer) {
    std::lock_guard lock(received->mutex);
    received->onQueue = received->onQueue && queue.isCurrentThread();
    received->buffers.push_back(buffer);
  });
  // Some sources deliver in bursts of up to two seconds: wait for a
  // second of sound, at most eight seconds.
  auto receivedFrames = [&received] {
    std::lock_guard lock(received->mutex);
    std::int64_t total = 0;
    for (const AudioBuffer& buffer : received->buffers)
      total += buffer.frameCount();
    return total;
  };
  for (int i = 0; i < 160 && receivedFrames() < 48000; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  recorder.clearOnSample();
  CaptureTime stopped = now();
  queue.drain();
  std::size_t atClear = received->count();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  queue.drain();
  recorder.stopRunning();

  std::lock_guard lock(received->mutex);
  EXPECT_TRUE(received->onQueue);
  // After the callback is cleared nothing more arrives.
  EXPECT_EQ(received->buffers.size(), atClear);
  ASSERT_GT(received->buffers.size(), 5u);
  std::int64_t frames = 0;
  for (const AudioBuffer& buffer : received->buffers) {
    EXPECT_EQ(buffer.sampleRate, 48000);
    EXPECT_EQ(buffer.channels, 2);
    EXPECT_EQ(buffer.format, SampleFormat::f32);
    // Virtual sources report how far they render ahead (up to two seconds) as latency.
    EXPECT_GE(buffer.timestamp, started - 2'600'000'000);
    EXPECT_LE(buffer.timestamp, stopped);
    frames += buffer.frameCount();
  }
  // Time stamps advance with the audio they carry.
  const AudioBuffer& first = received->buffers.front();
  const AudioBuffer& last = received->buffers.back();
  double span = static_cast<double>(last.timestamp - first.timestamp) / 1e9;
  double audio = static_cast<double>(frames - last.frameCount()) / 48000.0;
  // Within the first burst the stamps may be pulled back once.
  EXPECT_NEAR(span, audio, 0.3);
  EXPECT_GT(audio, 0.8);
  // The test source is a 440 Hz sine: the sound is not silence.
  const float* samples = reinterpret_cast<const float*>(last.data.data());
  float peak = 0;
  for (int i = 0; i < last.frameCount() * 2; ++i)
    peak = std::max(peak, std::abs(samples[i]));
  EXPECT_GT(peak, 0.05f);
}

TEST(PulseMicrophoneTest, NoServerMeansNoMicrophone) {
  // A server address where nothing listens.
  const char* saved = std::getenv("PULSE_SERVER");
  std::string previous = saved ? saved : "";
  setenv("PULSE_SERVER", "unix:/nonexistent/vidorel-test/native", 1);
  SampleQueue queue("org.vidorel.Vidorel.samples");
  AudioRecorder recorder(queue, makePulseMicrophoneSession());
  try {
    recorder.start();
    ADD_FAILURE() << "start() succeeded without a server";
  } catch (const CaptureFailure& failure) {
    EXPECT_EQ(failure.audioError(), AudioError::noMicrophone);
    EXPECT_EQ(failure.description(), "No microphone is available.");
  }
  if (saved)
    setenv("PULSE_SERVER", previous.c_str(), 1);
  else
    unsetenv("PULSE_SERVER");
}

} // namespace
} // namespace vidorel
