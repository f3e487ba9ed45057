#pragma once

// The FFmpeg encoder of a take, shared by its two source files: jobs,
// threads and the file in ffmpeg_take_writer.cpp, the constant-rate video
// path in ffmpeg_take_video.cpp.

#include "capture/ffmpeg_take_writer.h"
#include "capture/h264_skip_frame.h"
#include "capture/take_file.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <variant>

namespace vidorel::take_encoding {

inline constexpr AVRational kVideoTimeBase = kTakeVideoTimeBase;
inline constexpr AVRational kNanoseconds = {1, 1000000000};
// One frame of the constant rate, in the video time base.
inline constexpr std::int64_t kTick = kVideoTimeBase.den / 60;
static_assert(kVideoTimeBase.num == 1 && kVideoTimeBase.den % 60 == 0);
inline constexpr int kAudioRate = kTakeAudioRate;
static_assert(kAudioRate == AudioTimeline::kOutputRate);
// Up to this many samples of disagreement between the encoder's own sample
// count and the timeline are left alone (resampler rounding), 1 ms.
inline constexpr std::int64_t kAlignmentSlack = kAudioRate / 1000;

// The 1/60 s tick nearest to a take time (nanoseconds, not negative).
inline std::int64_t nearestTick(std::int64_t time) {
  return (std::max<std::int64_t>(time, 0) * 60 + 500'000'000) / 1'000'000'000;
}

struct VideoJob {
  VideoFrame frame;
  std::int64_t time;
};
struct RepeatJob {
  std::int64_t time;
};
struct AudioJob {
  AudioBuffer buffer;
  std::int64_t position;
  std::int64_t skip;
};
struct FlushJob {};
struct FinishJob {
  std::int64_t endTime;
};
using Job = std::variant<VideoJob, RepeatJob, AudioJob, FlushJob, FinishJob>;

class FfmpegTakeEncoder final : public TakeEncoder {
public:
  FfmpegTakeEncoder(std::filesystem::path url, int width, int height, Logger& logger,
                    TakeEncoderSettings settings);
  ~FfmpegTakeEncoder() override;

  void setFailureHandler(FailureHandler handler) override { failureHandler_ = std::move(handler); }
  bool startWriting() override;
  WriterStatus status() const override { return status_.load(); }
  std::string errorDescription() const override {
    std::lock_guard lock(mutex_);
    return error_;
  }
  bool isReadyForVideo() const override {
    std::lock_guard lock(mutex_);
    if (queuedVideo_ >= static_cast<std::size_t>(settings_.maxQueuedFrames))
      return false;
    return queuedVideo_ < 2 || queuedVideoBytes_ < settings_.maxQueuedVideoBytes;
  }
  bool isReadyForAudio() const override {
    std::lock_guard lock(mutex_);
    return queuedAudio_ < static_cast<std::size_t>(settings_.maxQueuedAudio);
  }
  void appendVideo(const VideoFrame& frame, std::int64_t time) override;
  void appendAudio(const AudioBuffer& buffer, std::int64_t position, std::int64_t skip) override;
  void repeatVideo(std::int64_t time) override;
  void flush() override;
  void finishWriting(std::int64_t endTime) override;

private:
  void openEncoders();
  void push(Job job);
  void run();
  // Each returns false once the file has failed.
  bool encodeVideo(const VideoJob& job);
  bool referencePicture(const VideoFrame& frame);
  bool copyPicture(const VideoFrame& frame);
  bool encodeRepeat(const RepeatJob& job);
  bool encodeAudio(const AudioJob& job);
  bool finishFile(std::int64_t endTime);
  bool encodePicture(const VideoFrame& frame, std::int64_t pts);
  bool sendVideoFrame(AVFrame* frame);
  // The ticks from nextTick_ up to end repeat the last picture.
  bool repeatUpTo(std::int64_t end);
  // Skip frames on every tick after the last one written, up to tick.
  bool writeSkipsBefore(std::int64_t tick);
  bool renumber(AVPacket* packet);
  bool sendAudioFrames(bool flush);
  // Writes every packet the AAC encoder has ready.
  bool writeAudioPackets();
  bool writeVideoPacket(AVPacket* packet);
  bool writePacket(AVPacket* packet, AVCodecContext* codec, AVStream* stream);
  bool pushAudioSamples(const float* const* planes, int count);
  bool pushSilence(std::int64_t count);
  // Cuts a fragment once a second of the take has been handed over.
  bool cutFragmentIfDue(std::int64_t time);
  bool primeSound();
  bool cutFragment();
  // Leaves the file with the fragments that reached the disk and closes it.
  void closeAfterFailure();
  bool fail(const std::string& what, int code);

  std::filesystem::path url_;
  int width_;
  int height_;
  Logger& logger_;
  TakeEncoderSettings settings_;
  FailureHandler failureHandler_;

  std::atomic<WriterStatus> status_{WriterStatus::unknown};
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  std::size_t queuedVideo_ = 0;
  std::size_t queuedAudio_ = 0;
  std::size_t queuedVideoBytes_ = 0;
  std::string error_;
  std::thread thread_;

  // Made once the size is known to be one the encoder takes.
  std::optional<TakeFile> file_;

  // Used by the encoding thread only, once it runs.
  OutputPtr format_;
  CodecPtr video_;
  CodecPtr audio_;
  AVStream* videoStream_ = nullptr;
  AVStream* audioStream_ = nullptr;
  ResamplerPtr resampler_;
  AVChannelLayout resamplerLayout_{};
  int resamplerRate_ = 0;
  SampleFormat resamplerFormat_ = SampleFormat::s16;
  AudioFifoPtr fifo_;
  FramePtr picture_;
  FramePtr sound_;
  PacketPtr packet_;
  PacketPtr heldVideo_;
  bool holdingVideo_ = false;
  bool havePicture_ = false;
  // Set when repeats are written as skip frames.
  std::optional<SkipFrames> skips_;
  PacketPtr skipPacket_;
  // The tick the next picture goes on at the earliest, the last tick
  // handed to the muxer, and frames the encoder has not returned yet.
  std::int64_t nextTick_ = 0;
  std::int64_t writtenTick_ = -1;
  std::int64_t pendingFrames_ = 0;
  // A picture that came too soon after the last, for the next free tick.
  std::optional<VideoFrame> deferred_;
  std::int64_t lastVideoPts_ = -1;
  std::int64_t lastKeyPts_ = 0;
  // Samples handed to the fifo (the audio timeline of the file so far).
  std::int64_t audioSamples_ = 0;
  // Samples sent to the AAC encoder.
  std::int64_t audioSent_ = 0;
  bool finishing_ = false;
  // What the muxer holds of each track since the start.
  std::int64_t videoPacketsWritten_ = 0;
  std::int64_t audioPacketsWritten_ = 0;
  // Take time (ns) of the last cut.
  std::int64_t lastCutTime_ = 0;
  // The end of the latest sample handed to the muxer (microseconds).
  std::int64_t writtenEnd_ = 0;
};

} // namespace vidorel::take_encoding
