#include "capture/ffmpeg_take_writer.h"

#include "base/format.h"
#include "capture/capture_error.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <variant>

namespace vidorel {

namespace {

constexpr AVRational kVideoTimeBase = {1, 90000};
constexpr AVRational kNanoseconds = {1, 1000000000};
constexpr int kAudioRate = AudioTimeline::kOutputRate;
constexpr int kAudioChannels = 2;
constexpr std::int64_t kAudioBitRate = 128000;
// Up to this many samples of disagreement between the encoder's own sample
// count and the timeline are left alone (resampler rounding), 1 ms.
constexpr std::int64_t kAlignmentSlack = kAudioRate / 1000;
// Microphone buffers are small; this bound only matters if the encoder
// thread stalls completely.
constexpr std::size_t kMaxQueuedAudio = 256;

std::string errorString(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof(text));
  return text;
}

struct VideoJob {
  VideoFrame frame;
  std::int64_t time;
};
struct AudioJob {
  AudioBuffer buffer;
  std::int64_t position;
  std::int64_t skip;
};
struct FinishJob {
  std::int64_t endTime;
};
using Job = std::variant<VideoJob, AudioJob, FinishJob>;

class FfmpegTakeEncoder final : public TakeEncoder {
public:
  FfmpegTakeEncoder(std::filesystem::path url, int width, int height, Logger& logger,
                    TakeEncoderSettings settings);
  ~FfmpegTakeEncoder() override;

  bool startWriting() override;
  WriterStatus status() const override { return status_.load(); }
  std::string errorDescription() const override {
    std::lock_guard lock(mutex_);
    return error_;
  }
  bool isReadyForVideo() const override {
    std::lock_guard lock(mutex_);
    return queuedVideo_ < static_cast<std::size_t>(settings_.maxQueuedFrames);
  }
  bool isReadyForAudio() const override {
    std::lock_guard lock(mutex_);
    return queuedAudio_ < kMaxQueuedAudio;
  }
  void appendVideo(const VideoFrame& frame, std::int64_t time) override;
  void appendAudio(const AudioBuffer& buffer, std::int64_t position, std::int64_t skip) override;
  void finishWriting(std::int64_t endTime) override;

private:
  void openEncoders();
  void push(Job job);
  void run();
  // Each returns false once the file has failed.
  bool encodeVideo(const VideoJob& job);
  bool encodeAudio(const AudioJob& job);
  bool finishFile(std::int64_t endTime);
  bool sendVideoFrame(AVFrame* frame);
  bool sendAudioFrames(bool flush);
  bool writeVideoPacket(AVPacket* packet);
  bool writePacket(AVPacket* packet, AVCodecContext* codec, AVStream* stream);
  bool pushAudioSamples(const float* const* planes, int count);
  bool pushSilence(std::int64_t count);
  bool fail(const std::string& what, int code);
  void closeAll();

  std::filesystem::path url_;
  int width_;
  int height_;
  Logger& logger_;
  TakeEncoderSettings settings_;

  std::atomic<WriterStatus> status_{WriterStatus::unknown};
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  std::size_t queuedVideo_ = 0;
  std::size_t queuedAudio_ = 0;
  std::string error_;
  std::thread thread_;

  // Used by the encoding thread only, once it runs.
  AVFormatContext* format_ = nullptr;
  AVCodecContext* video_ = nullptr;
  AVCodecContext* audio_ = nullptr;
  AVStream* videoStream_ = nullptr;
  AVStream* audioStream_ = nullptr;
  SwsContext* scaler_ = nullptr;
  SwrContext* resampler_ = nullptr;
  AVChannelLayout resamplerLayout_{};
  int resamplerRate_ = 0;
  SampleFormat resamplerFormat_ = SampleFormat::s16;
  AVAudioFifo* fifo_ = nullptr;
  AVFrame* picture_ = nullptr;
  AVFrame* sound_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVPacket* heldVideo_ = nullptr;
  bool holdingVideo_ = false;
  std::int64_t lastVideoPts_ = -1;
  // Samples handed to the fifo (the audio timeline of the file so far).
  std::int64_t audioSamples_ = 0;
  // Samples sent to the AAC encoder.
  std::int64_t audioSent_ = 0;
  bool headerWritten_ = false;
};

FfmpegTakeEncoder::FfmpegTakeEncoder(std::filesystem::path url, int width, int height,
                                     Logger& logger, TakeEncoderSettings settings)
    : url_(std::move(url)), width_(width), height_(height), logger_(logger),
      settings_(std::move(settings)) {
  if (width_ <= 0 || height_ <= 0 || width_ % 2 != 0 || height_ % 2 != 0)
    throw CaptureFailure(formatString("The movie size %dx%d cannot be encoded.", width_, height_));
  // Creating the file now makes an unwritable destination fail the start of
  // the take, not its end. The file is removed again if it is new: a take
  // that never receives a frame leaves no file behind.
  std::error_code ignored;
  bool existed = std::filesystem::exists(url_, ignored);
  int fd = ::open(url_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    throw CaptureFailure(formatString("The file \"%s\" couldn't be created: %s",
                                      url_.filename().c_str(), std::strerror(errno)));
  ::close(fd);
  if (!existed)
    std::filesystem::remove(url_, ignored);
  openEncoders();
}

FfmpegTakeEncoder::~FfmpegTakeEncoder() {
  if (thread_.joinable()) {
    push(FinishJob{0});
    thread_.join();
  }
  closeAll();
}

void FfmpegTakeEncoder::openEncoders() {
  int rc = avformat_alloc_output_context2(&format_, nullptr, "mov", url_.c_str());
  if (rc < 0 || !format_)
    throw CaptureFailure("The QuickTime writer is not available: " + errorString(rc));

  const AVCodec* h264 = avcodec_find_encoder_by_name("libx264");
  const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (!h264 || !aac) {
    closeAll();
    throw CaptureFailure("The H.264 or AAC encoder is not available.");
  }

  video_ = avcodec_alloc_context3(h264);
  video_->width = width_;
  video_->height = height_;
  video_->pix_fmt = AV_PIX_FMT_YUV420P;
  video_->time_base = kVideoTimeBase;
  video_->framerate = {60, 1};
  video_->max_b_frames = 0;
  video_->gop_size = 120;
  video_->keyint_min = 12;
  video_->thread_count = settings_.threads;
  video_->color_range = AVCOL_RANGE_MPEG;
  video_->colorspace = AVCOL_SPC_BT709;
  video_->color_primaries = AVCOL_PRI_BT709;
  video_->color_trc = AVCOL_TRC_BT709;
  video_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_opt_set(video_->priv_data, "preset", settings_.preset.c_str(), 0);
  av_opt_set(video_->priv_data, "tune", "zerolatency", 0);
  av_opt_set(video_->priv_data, "profile", "high", 0);
  av_opt_set(video_->priv_data, "crf", "23", 0);
  rc = avcodec_open2(video_, h264, nullptr);
  if (rc < 0) {
    closeAll();
    throw CaptureFailure("The H.264 encoder couldn't be opened: " + errorString(rc));
  }

  audio_ = avcodec_alloc_context3(aac);
  audio_->sample_fmt = AV_SAMPLE_FMT_FLTP;
  audio_->sample_rate = kAudioRate;
  av_channel_layout_default(&audio_->ch_layout, kAudioChannels);
  audio_->bit_rate = kAudioBitRate;
  audio_->time_base = {1, kAudioRate};
  audio_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  rc = avcodec_open2(audio_, aac, nullptr);
  if (rc < 0) {
    closeAll();
    throw CaptureFailure("The AAC encoder couldn't be opened: " + errorString(rc));
  }

  // Video first, so the video track is the first track of the file.
  videoStream_ = avformat_new_stream(format_, nullptr);
  avcodec_parameters_from_context(videoStream_->codecpar, video_);
  videoStream_->time_base = kVideoTimeBase;
  audioStream_ = avformat_new_stream(format_, nullptr);
  avcodec_parameters_from_context(audioStream_->codecpar, audio_);
  audioStream_->time_base = {1, kAudioRate};

  scaler_ = sws_getContext(width_, height_, AV_PIX_FMT_BGR0, width_, height_, AV_PIX_FMT_YUV420P,
                           SWS_POINT, nullptr, nullptr, nullptr);
  if (scaler_) {
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(scaler_, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
  }
  fifo_ = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, kAudioChannels, audio_->frame_size * 4);
  picture_ = av_frame_alloc();
  sound_ = av_frame_alloc();
  packet_ = av_packet_alloc();
  heldVideo_ = av_packet_alloc();
  if (!scaler_ || !fifo_ || !picture_ || !sound_ || !packet_ || !heldVideo_) {
    closeAll();
    throw CaptureFailure("Out of memory while preparing the take writer.");
  }
  picture_->format = AV_PIX_FMT_YUV420P;
  picture_->width = width_;
  picture_->height = height_;
  av_frame_get_buffer(picture_, 0);
}

void FfmpegTakeEncoder::closeAll() {
  av_packet_free(&heldVideo_);
  av_packet_free(&packet_);
  av_frame_free(&sound_);
  av_frame_free(&picture_);
  if (fifo_)
    av_audio_fifo_free(fifo_);
  fifo_ = nullptr;
  swr_free(&resampler_);
  av_channel_layout_uninit(&resamplerLayout_);
  sws_freeContext(scaler_);
  scaler_ = nullptr;
  avcodec_free_context(&video_);
  avcodec_free_context(&audio_);
  if (format_) {
    if (format_->pb)
      avio_closep(&format_->pb);
    avformat_free_context(format_);
    format_ = nullptr;
  }
}

bool FfmpegTakeEncoder::fail(const std::string& what, int code) {
  std::string text = code < 0 ? what + ": " + errorString(code) : what;
  {
    std::lock_guard lock(mutex_);
    if (error_.empty())
      error_ = text;
  }
  status_ = WriterStatus::failed;
  return false;
}

bool FfmpegTakeEncoder::startWriting() {
  if (status_ != WriterStatus::unknown)
    return false;
  int rc = avio_open(&format_->pb, url_.c_str(), AVIO_FLAG_WRITE);
  if (rc < 0)
    return fail("The file couldn't be opened for writing", rc);
  rc = avformat_write_header(format_, nullptr);
  if (rc < 0)
    return fail("The movie header couldn't be written", rc);
  headerWritten_ = true;
  status_ = WriterStatus::writing;
  thread_ = std::thread([this] { run(); });
  return true;
}

void FfmpegTakeEncoder::push(Job job) {
  {
    std::lock_guard lock(mutex_);
    if (std::holds_alternative<VideoJob>(job))
      ++queuedVideo_;
    else if (std::holds_alternative<AudioJob>(job))
      ++queuedAudio_;
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void FfmpegTakeEncoder::appendVideo(const VideoFrame& frame, std::int64_t time) {
  if (status_ != WriterStatus::writing || !frame.isValid())
    return;
  push(VideoJob{frame, time});
}

void FfmpegTakeEncoder::appendAudio(const AudioBuffer& buffer, std::int64_t position,
                                    std::int64_t skip) {
  if (status_ != WriterStatus::writing)
    return;
  push(AudioJob{buffer, position, skip});
}

void FfmpegTakeEncoder::finishWriting(std::int64_t endTime) {
  if (!thread_.joinable())
    return;
  push(FinishJob{endTime});
  thread_.join();
}

void FfmpegTakeEncoder::run() {
  bool healthy = true;
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return !jobs_.empty(); });
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    if (auto* finish = std::get_if<FinishJob>(&job)) {
      if (healthy && finishFile(finish->endTime))
        status_ = WriterStatus::completed;
      return;
    }
    if (auto* video = std::get_if<VideoJob>(&job)) {
      if (healthy)
        healthy = encodeVideo(*video);
      std::lock_guard lock(mutex_);
      --queuedVideo_;
    } else if (auto* sound = std::get_if<AudioJob>(&job)) {
      if (healthy)
        healthy = encodeAudio(*sound);
      std::lock_guard lock(mutex_);
      --queuedAudio_;
    }
  }
}

bool FfmpegTakeEncoder::encodeVideo(const VideoJob& job) {
  const VideoFrame& frame = job.frame;
  // Odd display sizes are cropped by a pixel; a display that shrank mid-take
  // gives frames that cannot fill the picture, and they are skipped.
  if (frame.width < width_ || frame.height < height_)
    return true;
  std::int64_t pts = av_rescale_q(job.time, kNanoseconds, kVideoTimeBase);
  if (pts <= lastVideoPts_)
    return true; // two frames within one tick of the time base
  int rc = av_frame_make_writable(picture_);
  if (rc < 0)
    return fail("The video frame couldn't be prepared", rc);
  const std::uint8_t* source[1] = {frame.pixels->data()};
  int sourceStride[1] = {frame.stride};
  sws_scale(scaler_, source, sourceStride, 0, height_, picture_->data, picture_->linesize);
  picture_->pts = pts;
  lastVideoPts_ = pts;
  return sendVideoFrame(picture_);
}

bool FfmpegTakeEncoder::sendVideoFrame(AVFrame* frame) {
  int rc = avcodec_send_frame(video_, frame);
  if (rc < 0)
    return fail("The H.264 encoder refused a frame", rc);
  for (;;) {
    rc = avcodec_receive_packet(video_, packet_);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
      return true;
    if (rc < 0)
      return fail("The H.264 encoder failed", rc);
    if (!writeVideoPacket(packet_))
      return false;
  }
}

// A frame lasts until the next one (an unchanged screen adds no frames), so
// each packet is held back until its successor gives it its duration.
bool FfmpegTakeEncoder::writeVideoPacket(AVPacket* packet) {
  if (holdingVideo_) {
    heldVideo_->duration = packet->pts - heldVideo_->pts;
    holdingVideo_ = false;
    if (!writePacket(heldVideo_, video_, videoStream_))
      return false;
  }
  av_packet_unref(heldVideo_);
  av_packet_move_ref(heldVideo_, packet);
  holdingVideo_ = true;
  return true;
}

bool FfmpegTakeEncoder::writePacket(AVPacket* packet, AVCodecContext* codec, AVStream* stream) {
  av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
  packet->stream_index = stream->index;
  int rc = av_interleaved_write_frame(format_, packet);
  if (rc < 0)
    return fail("A packet couldn't be written", rc);
  return true;
}

bool FfmpegTakeEncoder::encodeAudio(const AudioJob& job) {
  const AudioBuffer& buffer = job.buffer;
  int frames = buffer.frameCount();
  if (frames == 0 || buffer.channels <= 0)
    return true;
  AVChannelLayout layout{};
  av_channel_layout_default(&layout, buffer.channels);
  bool changed = !resampler_ || resamplerRate_ != buffer.sampleRate ||
                 resamplerFormat_ != buffer.format ||
                 av_channel_layout_compare(&layout, &resamplerLayout_) != 0;
  if (changed) {
    swr_free(&resampler_);
    AVSampleFormat inFormat =
        buffer.format == SampleFormat::s16 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_FLT;
    int rc = swr_alloc_set_opts2(&resampler_, &audio_->ch_layout, AV_SAMPLE_FMT_FLTP, kAudioRate,
                                 &layout, inFormat, buffer.sampleRate, 0, nullptr);
    if (rc >= 0)
      rc = swr_init(resampler_);
    if (rc < 0) {
      av_channel_layout_uninit(&layout);
      return fail("The microphone's sound format cannot be converted", rc);
    }
    av_channel_layout_uninit(&resamplerLayout_);
    av_channel_layout_copy(&resamplerLayout_, &layout);
    resamplerRate_ = buffer.sampleRate;
    resamplerFormat_ = buffer.format;
  }
  av_channel_layout_uninit(&layout);

  int capacity = swr_get_out_samples(resampler_, frames) + 16;
  std::vector<float> left(capacity), right(capacity);
  std::uint8_t* out[2] = {reinterpret_cast<std::uint8_t*>(left.data()),
                          reinterpret_cast<std::uint8_t*>(right.data())};
  const std::uint8_t* in[1] = {buffer.data.data()};
  int produced = swr_convert(resampler_, out, capacity, in, frames);
  if (produced < 0)
    return fail("The microphone's sound couldn't be converted", produced);

  std::int64_t start = std::min<std::int64_t>(job.skip, produced);
  std::int64_t drift = job.position - audioSamples_;
  if (drift > kAlignmentSlack) {
    if (!pushSilence(drift))
      return false;
  } else if (drift < -kAlignmentSlack) {
    start = std::min<std::int64_t>(produced, start - drift);
  }
  int count = static_cast<int>(produced - start);
  if (count <= 0)
    return true;
  const float* planes[2] = {left.data() + start, right.data() + start};
  return pushAudioSamples(planes, count);
}

bool FfmpegTakeEncoder::pushSilence(std::int64_t count) {
  std::vector<float> zeros(4096, 0.0f);
  while (count > 0) {
    int chunk = static_cast<int>(std::min<std::int64_t>(count, 4096));
    const float* planes[2] = {zeros.data(), zeros.data()};
    if (!pushAudioSamples(planes, chunk))
      return false;
    count -= chunk;
  }
  return true;
}

bool FfmpegTakeEncoder::pushAudioSamples(const float* const* planes, int count) {
  void* data[2] = {const_cast<float*>(planes[0]), const_cast<float*>(planes[1])};
  if (av_audio_fifo_write(fifo_, data, count) < count)
    return fail("Out of memory while buffering sound", 0);
  audioSamples_ += count;
  return sendAudioFrames(false);
}

bool FfmpegTakeEncoder::sendAudioFrames(bool flush) {
  int frameSize = audio_->frame_size;
  while (av_audio_fifo_size(fifo_) >= frameSize || (flush && av_audio_fifo_size(fifo_) > 0)) {
    int count = std::min(frameSize, av_audio_fifo_size(fifo_));
    av_frame_unref(sound_);
    sound_->format = AV_SAMPLE_FMT_FLTP;
    sound_->sample_rate = kAudioRate;
    av_channel_layout_copy(&sound_->ch_layout, &audio_->ch_layout);
    sound_->nb_samples = count;
    int rc = av_frame_get_buffer(sound_, 0);
    if (rc < 0)
      return fail("Out of memory while encoding sound", rc);
    av_audio_fifo_read(fifo_, reinterpret_cast<void**>(sound_->data), count);
    sound_->pts = audioSent_;
    audioSent_ += count;
    rc = avcodec_send_frame(audio_, sound_);
    if (rc < 0)
      return fail("The AAC encoder refused a frame", rc);
    for (;;) {
      rc = avcodec_receive_packet(audio_, packet_);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
        break;
      if (rc < 0)
        return fail("The AAC encoder failed", rc);
      if (!writePacket(packet_, audio_, audioStream_))
        return false;
    }
  }
  return true;
}

bool FfmpegTakeEncoder::finishFile(std::int64_t endTime) {
  if (!sendVideoFrame(nullptr))
    return false;
  if (holdingVideo_) {
    // The last frame stays on screen until the take ends.
    std::int64_t end = av_rescale_q(endTime, kNanoseconds, kVideoTimeBase);
    std::int64_t oneFrame = kVideoTimeBase.den / 60;
    heldVideo_->duration = std::max(end - heldVideo_->pts, oneFrame);
    holdingVideo_ = false;
    if (!writePacket(heldVideo_, video_, videoStream_))
      return false;
  }
  if (!sendAudioFrames(true))
    return false;
  int rc = avcodec_send_frame(audio_, nullptr);
  if (rc < 0)
    return fail("The AAC encoder couldn't be flushed", rc);
  for (;;) {
    rc = avcodec_receive_packet(audio_, packet_);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
      break;
    if (rc < 0)
      return fail("The AAC encoder failed", rc);
    if (!writePacket(packet_, audio_, audioStream_))
      return false;
  }
  rc = av_write_trailer(format_);
  if (rc < 0)
    return fail("The movie couldn't be finished", rc);
  rc = avio_closep(&format_->pb);
  if (rc < 0)
    return fail("The movie file couldn't be closed", rc);
  return true;
}

} // namespace

std::unique_ptr<TakeEncoder> makeFfmpegTakeEncoder(const std::filesystem::path& outputURL,
                                                   int width, int height, Logger& logger,
                                                   const TakeEncoderSettings& settings) {
  // x264 prints its statistics at the end of every take otherwise.
  if (av_log_get_level() > AV_LOG_WARNING)
    av_log_set_level(AV_LOG_WARNING);
  return std::make_unique<FfmpegTakeEncoder>(outputURL, width, height, logger, settings);
}

std::unique_ptr<TakeWriter> makeFfmpegTakeWriter(const std::filesystem::path& outputURL, int width,
                                                 int height, DurationProbe& probe, Logger& logger) {
  return std::make_unique<TakeWriter>(
      outputURL, makeFfmpegTakeEncoder(outputURL, width, height, logger), probe, logger);
}

} // namespace vidorel
