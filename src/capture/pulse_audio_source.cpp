#include "capture/pulse_audio_source.h"

#include "capture/audio_clock.h"
#include "capture/capture_error.h"

#include <pulse/pulseaudio.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace vidorel {

namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 2;
// 10 ms fragments: small enough for a tight A/V alignment.
constexpr std::size_t kBytesPerFrame = kChannels * sizeof(float);
// The hint only places the first buffer. A microphone's latency is the age
// of its samples, tens of milliseconds; virtual sources and monitors report
// what they have rendered ahead (half a second to seconds), which would put
// every stamp that much early and cut the end of each take's sound.
constexpr CaptureTime kMaxLatencyHint = 200'000'000;
constexpr std::uint32_t kFragmentBytes = kRate / 100 * kChannels * sizeof(float);

CaptureTime monotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<CaptureTime>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

class PulseMicrophoneSession final : public MicrophoneSession {
public:
  ~PulseMicrophoneSession() override { stopRunning(); }

  void startRunning(Delivery deliver) override;
  void stopRunning() override;

private:
  static void contextChanged(pa_context* context, void* self);
  static void streamChanged(pa_stream* stream, void* self);
  static void serverInfo(pa_context* context, const pa_server_info* info, void* self);
  static void sourceInfo(pa_context* context, const pa_source_info* info, int eol, void* self);
  static void readable(pa_stream* stream, size_t bytes, void* self);

  // Waits on the threaded loop (locked) for an operation to end.
  void wait(pa_operation* operation);
  void teardown();
  // The buffer resampled so that extra samples are added (or dropped) over
  // its length; false when the resampler cannot be used.
  bool resample(const void* input, int frames, int extra, std::vector<std::uint8_t>& output);

  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  Delivery deliver_;
  std::string defaultSource_;
  bool sourceFound_ = false;
  AudioClock clock_;
  // Created at the first correction; from then on every buffer goes
  // through it, so its filter's delay stays constant.
  SwrContext* resampler_ = nullptr;
};

void PulseMicrophoneSession::contextChanged(pa_context*, void* self) {
  auto* session = static_cast<PulseMicrophoneSession*>(self);
  pa_threaded_mainloop_signal(session->loop_, 0);
}

void PulseMicrophoneSession::streamChanged(pa_stream*, void* self) {
  auto* session = static_cast<PulseMicrophoneSession*>(self);
  pa_threaded_mainloop_signal(session->loop_, 0);
}

void PulseMicrophoneSession::serverInfo(pa_context*, const pa_server_info* info, void* self) {
  auto* session = static_cast<PulseMicrophoneSession*>(self);
  if (info && info->default_source_name)
    session->defaultSource_ = info->default_source_name;
  pa_threaded_mainloop_signal(session->loop_, 0);
}

void PulseMicrophoneSession::sourceInfo(pa_context*, const pa_source_info* info, int eol,
                                        void* self) {
  auto* session = static_cast<PulseMicrophoneSession*>(self);
  if (eol == 0 && info)
    session->sourceFound_ = true;
  if (eol != 0)
    pa_threaded_mainloop_signal(session->loop_, 0);
}

void PulseMicrophoneSession::readable(pa_stream* stream, size_t, void* self) {
  auto* session = static_cast<PulseMicrophoneSession*>(self);
  for (;;) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
      return;
    if (data) {
      CaptureTime now = monotonicNow();
      pa_usec_t latency = 0;
      int negative = 0;
      CaptureTime hint = 0;
      if (pa_stream_get_latency(stream, &latency, &negative) == 0 && !negative)
        hint = std::min<CaptureTime>(static_cast<CaptureTime>(latency) * 1000, kMaxLatencyHint);
      int frames = static_cast<int>(bytes / kBytesPerFrame);
      AudioBuffer buffer;
      buffer.format = SampleFormat::f32;
      buffer.sampleRate = kRate;
      buffer.channels = kChannels;
      // The card's clock drifts against the capture clock: the sound is
      // resampled by as little as keeps its count in step.
      int extra = session->clock_.compensation(frames);
      if ((extra == 0 && !session->resampler_) ||
          !session->resample(data, frames, extra, buffer.data))
        buffer.data.assign(static_cast<const std::uint8_t*>(data),
                           static_cast<const std::uint8_t*>(data) + bytes);
      int delivered = static_cast<int>(buffer.data.size() / kBytesPerFrame);
      buffer.timestamp = session->clock_.stamp(now, delivered, kRate, hint);
      if (session->deliver_)
        session->deliver_(std::move(buffer));
    }
    // A hole (data == nullptr) is skipped; the writer's timeline fills it.
    pa_stream_drop(stream);
  }
}

bool PulseMicrophoneSession::resample(const void* input, int frames, int extra,
                                      std::vector<std::uint8_t>& output) {
  if (!resampler_) {
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    if (swr_alloc_set_opts2(&resampler_, &stereo, AV_SAMPLE_FMT_FLT, kRate, &stereo,
                            AV_SAMPLE_FMT_FLT, kRate, 0, nullptr) < 0 ||
        swr_init(resampler_) < 0) {
      swr_free(&resampler_);
      return false;
    }
  }
  if (swr_set_compensation(resampler_, extra, frames) < 0)
    return false;
  int capacity = frames + std::abs(extra) + 256;
  output.resize(static_cast<std::size_t>(capacity) * kBytesPerFrame);
  std::uint8_t* out[1] = {output.data()};
  const std::uint8_t* in[1] = {static_cast<const std::uint8_t*>(input)};
  int produced = swr_convert(resampler_, out, capacity, in, frames);
  if (produced < 0)
    return false;
  output.resize(static_cast<std::size_t>(produced) * kBytesPerFrame);
  return true;
}

void PulseMicrophoneSession::wait(pa_operation* operation) {
  if (!operation)
    return;
  while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
    pa_threaded_mainloop_wait(loop_);
  pa_operation_unref(operation);
}

void PulseMicrophoneSession::startRunning(Delivery deliver) {
  if (loop_)
    return;
  deliver_ = std::move(deliver);
  loop_ = pa_threaded_mainloop_new();
  if (!loop_)
    throw CaptureFailure(AudioError::noMicrophone);
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
  context_ = pa_context_new(api, "Vidorel");
  if (!context_) {
    teardown();
    throw CaptureFailure(AudioError::noMicrophone);
  }
  pa_context_set_state_callback(context_, &contextChanged, this);
  if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
      pa_threaded_mainloop_start(loop_) < 0) {
    teardown();
    throw CaptureFailure(AudioError::noMicrophone);
  }

  pa_threaded_mainloop_lock(loop_);
  for (;;) {
    pa_context_state_t state = pa_context_get_state(context_);
    if (state == PA_CONTEXT_READY)
      break;
    if (!PA_CONTEXT_IS_GOOD(state)) {
      pa_threaded_mainloop_unlock(loop_);
      teardown();
      throw CaptureFailure(AudioError::noMicrophone);
    }
    pa_threaded_mainloop_wait(loop_);
  }
  wait(pa_context_get_server_info(context_, &serverInfo, this));
  if (!defaultSource_.empty())
    wait(pa_context_get_source_info_by_name(context_, defaultSource_.c_str(), &sourceInfo, this));
  if (defaultSource_.empty() || !sourceFound_) {
    pa_threaded_mainloop_unlock(loop_);
    teardown();
    throw CaptureFailure(AudioError::noMicrophone);
  }

  pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, kRate, kChannels};
  stream_ = pa_stream_new(context_, "Microphone", &spec, nullptr);
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.fragsize = kFragmentBytes;
  pa_stream_set_state_callback(stream_, &streamChanged, this);
  pa_stream_set_read_callback(stream_, &readable, this);
  auto flags = static_cast<pa_stream_flags_t>(
      PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_INTERPOLATE_TIMING);
  if (pa_stream_connect_record(stream_, defaultSource_.c_str(), &attributes, flags) < 0) {
    std::string text = pa_strerror(pa_context_errno(context_));
    pa_threaded_mainloop_unlock(loop_);
    teardown();
    throw CaptureFailure(text);
  }
  for (;;) {
    pa_stream_state_t state = pa_stream_get_state(stream_);
    if (state == PA_STREAM_READY)
      break;
    if (!PA_STREAM_IS_GOOD(state)) {
      std::string text = pa_strerror(pa_context_errno(context_));
      pa_threaded_mainloop_unlock(loop_);
      teardown();
      throw CaptureFailure(text);
    }
    pa_threaded_mainloop_wait(loop_);
  }
  pa_threaded_mainloop_unlock(loop_);
}

void PulseMicrophoneSession::stopRunning() {
  teardown();
}

void PulseMicrophoneSession::teardown() {
  if (!loop_)
    return;
  pa_threaded_mainloop_lock(loop_);
  if (stream_) {
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }
  if (context_) {
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
  }
  pa_threaded_mainloop_unlock(loop_);
  pa_threaded_mainloop_stop(loop_);
  pa_threaded_mainloop_free(loop_);
  loop_ = nullptr;
  deliver_ = nullptr;
  swr_free(&resampler_);
}

} // namespace

std::unique_ptr<MicrophoneSession> makePulseMicrophoneSession() {
  return std::make_unique<PulseMicrophoneSession>();
}

} // namespace vidorel
