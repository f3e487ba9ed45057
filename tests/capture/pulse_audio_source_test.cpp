#include "capture/audio_recorder.h"
#include "capture/capture_error.h"
#include "capture/pulse_audio_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace vidorel {
namespace {

TEST(PulseMicrophoneTest, BuffersArriveOnTheSampleQueueWithCaptureTimes) {
  SampleQueue queue("org.vidorel.Vidorel.samples");
  AudioRecorder recorder(queue, makePulseMicrophoneSession());
  // The capture clock is CLOCK_MONOTONIC.
  auto now = [] { return std::chrono::steady_clock::now().time_since_epoch().count(); };
  std::mutex mutex;
  std::vector<AudioBuffer> buffers;
  std::int64_t frames = 0;
  bool onQueue = true;
  CaptureTime started = now();
  recorder.start();
  // Set after the start: what comes before is dropped, the rest arrives.
  recorder.setOnSample([&](const AudioBuffer& buffer) {
    std::lock_guard lock(mutex);
    onQueue = onQueue && queue.isCurrentThread();
    buffers.push_back(buffer);
    frames += buffer.frameCount();
  });
  // Some sources deliver in bursts of up to two seconds: wait for a second
  // of sound, at most eight seconds.
  for (int i = 0; i < 160; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard lock(mutex);
    if (frames >= 48000)
      break;
  }
  recorder.clearOnSample();
  CaptureTime stopped = now();
  queue.drain();
  std::size_t atClear = buffers.size();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  queue.drain();
  recorder.stopRunning();

  std::lock_guard lock(mutex);
  EXPECT_TRUE(onQueue);
  // After the callback is cleared nothing more arrives.
  EXPECT_EQ(buffers.size(), atClear);
  ASSERT_GT(buffers.size(), 5u);
  for (const AudioBuffer& buffer : buffers) {
    EXPECT_EQ(buffer.sampleRate, 48000);
    EXPECT_EQ(buffer.channels, 2);
    EXPECT_EQ(buffer.format, SampleFormat::f32);
    // Virtual sources report how far they render ahead (up to two seconds) as latency.
    EXPECT_GE(buffer.timestamp, started - 2'600'000'000);
    EXPECT_LE(buffer.timestamp, stopped);
  }
  // Time stamps advance with the audio they carry (within the first burst
  // the stamps may be pulled back once).
  const AudioBuffer& last = buffers.back();
  double span = static_cast<double>(last.timestamp - buffers.front().timestamp) / 1e9;
  double audio = static_cast<double>(frames - last.frameCount()) / 48000.0;
  EXPECT_NEAR(span, audio, 0.3);
  EXPECT_GT(audio, 0.8);
  // The test source is a 440 Hz sine: the sound is not silence.
  const float* samples = reinterpret_cast<const float*>(last.data.data());
  EXPECT_GT(std::abs(*std::max_element(samples, samples + last.frameCount() * 2,
                                       [](float a, float b) { return std::abs(a) < std::abs(b); })),
            0.05f);
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
