#include "capture/ffmpeg_take_writer.h"

#include "base/files.h"
#include "base/format.h"
#include "capture/bgra_to_i420.h"
#include "capture/capture_error.h"
#include "capture/movie_header.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
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
constexpr int kIoBufferSize = 256 * 1024;

std::string errorString(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof(text));
  return text;
}

// libavformat writes the take through a file descriptor of our own, so the
// file can be created exclusively and synced.
int writeToFile(void* opaque, std::uint8_t* data, int size) {
  int fd = *static_cast<int*>(opaque);
  int left = size;
  while (left > 0) {
    ssize_t written = ::write(fd, data, static_cast<std::size_t>(left));
    if (written < 0) {
      if (errno == EINTR)
        continue;
      return AVERROR(errno);
    }
    data += written;
    left -= static_cast<int>(written);
  }
  return size;
}

std::int64_t seekInFile(void* opaque, std::int64_t offset, int whence) {
  int fd = *static_cast<int*>(opaque);
  if (whence == AVSEEK_SIZE) {
    struct stat status;
    if (::fstat(fd, &status) != 0)
      return AVERROR(errno);
    return status.st_size;
  }
  off_t position = ::lseek(fd, offset, whence & ~AVSEEK_FORCE);
  return position < 0 ? AVERROR(errno) : position;
}

std::string remuxMovie(const std::filesystem::path& source, const std::filesystem::path& target,
                       int fd);

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
    return queuedVideo_ < static_cast<std::size_t>(settings_.maxQueuedFrames);
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
  void createFile();
  void openEncoders();
  void push(Job job);
  void run();
  // Each returns false once the file has failed.
  bool encodeVideo(const VideoJob& job);
  bool encodeRepeat(const RepeatJob& job);
  bool encodeAudio(const AudioJob& job);
  bool finishFile(std::int64_t endTime);
  bool sendVideoFrame(AVFrame* frame);
  bool sendAudioFrames(bool flush);
  // Writes every packet the AAC encoder has ready.
  bool writeAudioPackets();
  bool writeVideoPacket(AVPacket* packet);
  bool writePacket(AVPacket* packet, AVCodecContext* codec, AVStream* stream);
  bool pushAudioSamples(const float* const* planes, int count);
  bool pushSilence(std::int64_t count);
  // Cuts a fragment once a second of the take has been handed over.
  bool cutFragmentIfDue(std::int64_t time);
  bool cutFragment();
  bool recordLengthInHeader(std::int64_t end);
  bool findMovieLength();
  // Leaves the file with the fragments that reached the disk and closes it.
  void closeAfterFailure();
  void rewriteAsPlainMovie();
  bool fail(const std::string& what, int code);
  void closeFile();
  void closeAll();

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
  std::string error_;
  std::thread thread_;

  // The take file, created by this encoder (never an existing one).
  int fd_ = -1;
  bool fileWritten_ = false;

  // Used by the encoding thread only, once it runs.
  AVFormatContext* format_ = nullptr;
  AVIOContext* io_ = nullptr;
  AVCodecContext* video_ = nullptr;
  AVCodecContext* audio_ = nullptr;
  AVStream* videoStream_ = nullptr;
  AVStream* audioStream_ = nullptr;
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
  bool havePicture_ = false;
  std::int64_t lastVideoPts_ = -1;
  std::int64_t lastKeyPts_ = 0;
  // Samples handed to the fifo (the audio timeline of the file so far).
  std::int64_t audioSamples_ = 0;
  // Samples sent to the AAC encoder.
  std::int64_t audioSent_ = 0;
  bool headerWritten_ = false;
  bool finishing_ = false;
  // What the muxer holds of each track since the start.
  std::int64_t videoPacketsWritten_ = 0;
  std::int64_t audioPacketsWritten_ = 0;
  // Take time (ns) of the last cut, and the file's size once that cut was
  // on disk: everything before it survives a crash.
  std::int64_t lastCutTime_ = 0;
  std::int64_t durableSize_ = 0;
  int fragments_ = 0;
  // The end of the latest sample handed to the muxer (microseconds), and
  // where the movie header states the movie's length.
  std::int64_t writtenEnd_ = 0;
  std::int64_t durableEnd_ = 0;
  off_t movieLengthAt_ = -1;
  bool movieLengthWide_ = false;
  std::uint32_t movieTimescale_ = 0;
};

FfmpegTakeEncoder::FfmpegTakeEncoder(std::filesystem::path url, int width, int height,
                                     Logger& logger, TakeEncoderSettings settings)
    : url_(std::move(url)), width_(width), height_(height), logger_(logger),
      settings_(std::move(settings)) {
  if (width_ <= 0 || height_ <= 0 || width_ % 2 != 0 || height_ % 2 != 0)
    throw CaptureFailure(formatString("The movie size %dx%d cannot be encoded.", width_, height_));
  createFile();
  try {
    openEncoders();
  } catch (const CaptureFailure&) {
    closeFile();
    throw;
  }
}

FfmpegTakeEncoder::~FfmpegTakeEncoder() {
  if (thread_.joinable()) {
    push(FinishJob{0});
    thread_.join();
  }
  closeAll();
  closeFile();
}

// The file is created now, exclusively: an unwritable destination fails the
// start of the take rather than its end, and an existing file (another
// take's) is never truncated. The new entry is synced into its folder so a
// crash cannot lose the file along with its name.
void FfmpegTakeEncoder::createFile() {
  // Read as well: the movie header is found again to keep its length.
  fd_ = ::open(url_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd_ < 0)
    throw CaptureFailure(formatString("The file \"%s\" couldn't be created: %s",
                                      url_.filename().c_str(), std::strerror(errno)));
  syncFolder(url_.parent_path().empty() ? "." : url_.parent_path());
}

// Only the file this encoder created goes, and only while nothing was
// written into it (a take in which no frame arrived leaves no file behind).
void FfmpegTakeEncoder::closeFile() {
  if (fd_ < 0)
    return;
  ::close(fd_);
  fd_ = -1;
  if (!fileWritten_) {
    std::error_code ignored;
    std::filesystem::remove(url_, ignored);
  }
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
  // Frames forced to be key frames (see encodeVideo) are IDR frames, where
  // a cut or an exact seek can start decoding.
  av_opt_set(video_->priv_data, "forced-idr", "1", 0);
  // Parameter sets that do not depend on the rate control: an export can
  // then re-encode a cut at a constant quantiser (faster than the rate
  // factor) and still share the take's parameter sets.
  if (settings_.stitchableHeaders)
    av_opt_set(video_->priv_data, "x264-params", "stitchable=1", 0);
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

  fifo_ = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, kAudioChannels, audio_->frame_size * 4);
  picture_ = av_frame_alloc();
  sound_ = av_frame_alloc();
  packet_ = av_packet_alloc();
  heldVideo_ = av_packet_alloc();
  auto* ioBuffer = static_cast<std::uint8_t*>(av_malloc(kIoBufferSize));
  if (ioBuffer)
    io_ = avio_alloc_context(ioBuffer, kIoBufferSize, 1, &fd_, nullptr, writeToFile, seekInFile);
  if (!io_)
    av_free(ioBuffer);
  if (!fifo_ || !picture_ || !sound_ || !packet_ || !heldVideo_ || !io_) {
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
  avcodec_free_context(&video_);
  avcodec_free_context(&audio_);
  if (format_) {
    format_->pb = nullptr;
    avformat_free_context(format_);
    format_ = nullptr;
  }
  if (io_) {
    av_freep(&io_->buffer);
    avio_context_free(&io_);
  }
}

bool FfmpegTakeEncoder::fail(const std::string& what, int code) {
  std::string text = code < 0 ? what + ": " + errorString(code) : what;
  {
    std::lock_guard lock(mutex_);
    if (!error_.empty())
      return false;
    error_ = text;
  }
  status_ = WriterStatus::failed;
  // A failure while finishing is the caller's to read; one while the take
  // records ends the take, and the recorder has to hear of it.
  if (!finishing_ && failureHandler_)
    failureHandler_(text);
  return false;
}

bool FfmpegTakeEncoder::startWriting() {
  if (status_ != WriterStatus::unknown)
    return false;
  format_->pb = io_;
  format_->flags |= AVFMT_FLAG_CUSTOM_IO;
  // A fragmented movie: a crash leaves every fragment written before it
  // readable. The index of each second is cut and synced by cutFragment();
  // the movie header waits for the first cut so the tracks' start offsets
  // (the sound's encoder delay) are known when it is written.
  AVDictionary* options = nullptr;
  av_dict_set(&options, "movflags", "+frag_custom+empty_moov+delay_moov+default_base_moof", 0);
  int rc = avformat_write_header(format_, &options);
  av_dict_free(&options);
  if (rc < 0)
    return fail("The movie header couldn't be written", rc);
  fileWritten_ = true;
  headerWritten_ = true;
  status_ = WriterStatus::writing;
  thread_ = std::thread([this] { run(); });
  return true;
}

void FfmpegTakeEncoder::push(Job job) {
  {
    std::lock_guard lock(mutex_);
    if (std::holds_alternative<VideoJob>(job) || std::holds_alternative<RepeatJob>(job))
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

void FfmpegTakeEncoder::repeatVideo(std::int64_t time) {
  if (status_ != WriterStatus::writing)
    return;
  push(RepeatJob{time});
}

void FfmpegTakeEncoder::appendAudio(const AudioBuffer& buffer, std::int64_t position,
                                    std::int64_t skip) {
  if (status_ != WriterStatus::writing)
    return;
  push(AudioJob{buffer, position, skip});
}

void FfmpegTakeEncoder::flush() {
  if (status_ != WriterStatus::writing)
    return;
  push(FlushJob{});
}

void FfmpegTakeEncoder::finishWriting(std::int64_t endTime) {
  if (!thread_.joinable()) {
    closeFile();
    return;
  }
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
      finishing_ = true;
      if (healthy && finishFile(finish->endTime)) {
        rewriteAsPlainMovie();
        status_ = WriterStatus::completed;
      } else {
        closeAfterFailure();
      }
      closeFile();
      return;
    }
    if (auto* video = std::get_if<VideoJob>(&job)) {
      if (healthy)
        healthy = encodeVideo(*video) && cutFragmentIfDue(video->time);
      std::lock_guard lock(mutex_);
      --queuedVideo_;
    } else if (auto* repeat = std::get_if<RepeatJob>(&job)) {
      if (healthy)
        healthy = encodeRepeat(*repeat) && cutFragmentIfDue(repeat->time);
      std::lock_guard lock(mutex_);
      --queuedVideo_;
    } else if (auto* sound = std::get_if<AudioJob>(&job)) {
      if (healthy) {
        std::int64_t end = av_rescale(audioSamples_, kNanoseconds.den, kAudioRate);
        healthy = encodeAudio(*sound) && cutFragmentIfDue(end);
      }
      std::lock_guard lock(mutex_);
      --queuedAudio_;
    } else if (std::holds_alternative<FlushJob>(job)) {
      if (healthy && (videoPacketsWritten_ > 0 || audioPacketsWritten_ > 0))
        healthy = cutFragment();
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
  if (frame.layout == PixelLayout::i420) {
    // Cropped to the take's size like the 32-bit pixels below.
    const std::uint8_t* y = frame.pixels->data();
    const std::uint8_t* u = y + static_cast<std::size_t>(frame.width) * frame.height;
    const std::uint8_t* v = u + i420ChromaSize(frame.width, frame.height);
    const std::uint8_t* planes[4] = {y, u, v, nullptr};
    int chromaStride = (frame.width + 1) / 2;
    int strides[4] = {frame.width, chromaStride, chromaStride, 0};
    av_image_copy(picture_->data, picture_->linesize, planes, strides, AV_PIX_FMT_YUV420P, width_,
                  height_);
  } else {
    convertBgraToI420(frame.pixels->data(), frame.stride, width_, height_,
                      {picture_->data[0], picture_->linesize[0], picture_->data[1],
                       picture_->linesize[1], picture_->data[2], picture_->linesize[2]});
  }
  picture_->pts = pts;
  // A new picture a second or more after the last key frame is one: a cut
  // then re-encodes at most a second of frames, and exact seeks stay quick.
  // (x264 still places key frames of its own at scene changes.)
  bool keyDue = lastVideoPts_ < 0 || pts - lastKeyPts_ >= kVideoTimeBase.den;
  picture_->pict_type =
      settings_.keyFramePerSecond && keyDue ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  lastVideoPts_ = pts;
  havePicture_ = true;
  return sendVideoFrame(picture_);
}

// The screen did not change: the last picture once more, left to the
// encoder to code (as a frame of skipped blocks, almost nothing).
bool FfmpegTakeEncoder::encodeRepeat(const RepeatJob& job) {
  std::int64_t pts = av_rescale_q(job.time, kNanoseconds, kVideoTimeBase);
  if (!havePicture_ || pts <= lastVideoPts_)
    return true;
  picture_->pts = pts;
  picture_->pict_type = AV_PICTURE_TYPE_NONE;
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
    if (packet_->flags & AV_PKT_FLAG_KEY)
      lastKeyPts_ = packet_->pts;
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

// Packets go straight to the muxer: in a fragmented movie it keeps each
// track's samples of the current fragment itself, so there is nothing to
// interleave, and nothing waits for a track that has no new samples (a
// still screen).
bool FfmpegTakeEncoder::writePacket(AVPacket* packet, AVCodecContext* codec, AVStream* stream) {
  av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
  packet->stream_index = stream->index;
  if (packet->pts != AV_NOPTS_VALUE) {
    std::int64_t end = packet->pts + std::max<std::int64_t>(packet->duration, 0);
    writtenEnd_ = std::max(writtenEnd_, av_rescale_q(end, stream->time_base, {1, 1'000'000}));
  }
  int rc = av_write_frame(format_, packet);
  av_packet_unref(packet);
  if (rc < 0)
    return fail("A packet couldn't be written", rc);
  if (stream == videoStream_)
    ++videoPacketsWritten_;
  else
    ++audioPacketsWritten_;
  return true;
}

bool FfmpegTakeEncoder::cutFragmentIfDue(std::int64_t time) {
  constexpr std::int64_t kFragmentLength = 1'000'000'000;
  // The movie header goes out with the first cut and needs the start of
  // both tracks; a take without sound gets its header a little later.
  constexpr std::int64_t kWaitForSound = 3'000'000'000;
  if (time - lastCutTime_ < kFragmentLength || videoPacketsWritten_ == 0)
    return true;
  if (audioPacketsWritten_ == 0 && time < kWaitForSound)
    return true;
  lastCutTime_ = time;
  return cutFragment();
}

bool FfmpegTakeEncoder::cutFragment() {
  // The first flush of a delayed header writes only the header.
  int flushes = fragments_ == 0 ? 2 : 1;
  for (int i = 0; i < flushes; ++i) {
    int rc = av_write_frame(format_, nullptr);
    if (rc < 0)
      return fail("The movie couldn't be written", rc);
  }
  avio_flush(format_->pb);
  if (format_->pb->error < 0)
    return fail("The movie couldn't be written", format_->pb->error);
  if (!recordLengthInHeader(writtenEnd_))
    return false;
  if (::fdatasync(fd_) != 0)
    return fail("The movie couldn't be written", AVERROR(errno));
  durableSize_ = avio_tell(format_->pb);
  durableEnd_ = writtenEnd_;
  ++fragments_;
  return true;
}

// The movie header goes out before any sample and states a length of
// nothing. FFmpeg reads the fragments' lengths instead, but GStreamer takes
// the first fragment's for the movie's, so a take left fragmented by a crash
// would show a length of one second in its players. The header's length is
// brought up to date in place with each fragment: one field within the
// file's first block, so a crash leaves either the old value or the new.
bool FfmpegTakeEncoder::recordLengthInHeader(std::int64_t end) {
  // A header of another shape only loses the stated length; the fragments
  // still play.
  if (movieLengthAt_ < 0 && !findMovieLength())
    return true;
  std::uint64_t length = static_cast<std::uint64_t>(av_rescale(end, movieTimescale_, 1'000'000));
  std::uint8_t bytes[8];
  int size = movieLengthWide_ ? 8 : 4;
  if (!movieLengthWide_)
    length = std::min<std::uint64_t>(length, UINT32_MAX);
  for (int i = 0; i < size; ++i)
    bytes[i] = static_cast<std::uint8_t>(length >> (8 * (size - 1 - i)));
  if (::pwrite(fd_, bytes, static_cast<std::size_t>(size), movieLengthAt_) != size)
    return fail("The movie couldn't be written", AVERROR(errno));
  return true;
}

// Finds the length field of the movie header among the boxes at the start
// of the file.
bool FfmpegTakeEncoder::findMovieLength() {
  std::uint8_t head[16384];
  ssize_t got = ::pread(fd_, head, sizeof head, 0);
  if (got <= 0)
    return false;
  std::optional<MovieLengthField> field = findMovieLengthField(head, static_cast<std::size_t>(got));
  if (!field)
    return false;
  movieTimescale_ = field->timescale;
  movieLengthWide_ = field->wide;
  movieLengthAt_ = static_cast<off_t>(field->offset);
  return true;
}

void FfmpegTakeEncoder::closeAfterFailure() {
  // A fragment that was being written when writing failed may be torn;
  // what reached the disk before it stays, a movie any player reads.
  if (fd_ >= 0 && headerWritten_) {
    // The header may already state the length of the torn fragment.
    if (movieLengthAt_ >= 0)
      recordLengthInHeader(durableEnd_);
    if (::ftruncate(fd_, durableSize_) == 0)
      ::fdatasync(fd_);
  }
  logger_.error(LogCategory::writer,
                formatString("take kept up to the last fragment on disk: %d fragments, %lld bytes",
                             fragments_, static_cast<long long>(durableSize_)));
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
    if (!writeAudioPackets())
      return false;
  }
  return true;
}

bool FfmpegTakeEncoder::writeAudioPackets() {
  for (;;) {
    int rc = avcodec_receive_packet(audio_, packet_);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
      return true;
    if (rc < 0)
      return fail("The AAC encoder failed", rc);
    if (!writePacket(packet_, audio_, audioStream_))
      return false;
  }
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
  if (!writeAudioPackets())
    return false;
  rc = av_write_trailer(format_);
  if (rc < 0)
    return fail("The movie couldn't be finished", rc);
  avio_flush(format_->pb);
  if (format_->pb->error < 0)
    return fail("The movie couldn't be finished", format_->pb->error);
  if (::fdatasync(fd_) != 0)
    return fail("The movie couldn't be finished", AVERROR(errno));
  durableSize_ = avio_tell(format_->pb);
  return true;
}

// A take that ended normally becomes a plain movie with its index first,
// the form every player and editor reads best. The copy is made beside the
// take, synced and renamed over it, so at every instant the take's name
// holds one complete movie; when the copy cannot be made (a full disk) the
// fragmented movie stays, which plays as well.
void FfmpegTakeEncoder::rewriteAsPlainMovie() {
  if (!settings_.rewriteAsPlainMovie)
    return;
  std::filesystem::path folder = url_.parent_path().empty() ? "." : url_.parent_path();
  std::string pattern = (folder / ("." + url_.filename().string() + ".finishing-XXXXXX")).string();
  int tempFd = ::mkstemp(pattern.data());
  if (tempFd < 0) {
    logger_.error(LogCategory::writer,
                  formatString("the take stays fragmented: %s", std::strerror(errno)));
    return;
  }
  ::fchmod(tempFd, 0644);
  // Held until the copy replaces the take: whoever opens the session later
  // tells a copy in progress from one a killed recorder left behind.
  ::flock(tempFd, LOCK_EX);
  std::filesystem::path temp = pattern;
  std::string problem = remuxMovie(url_, temp, tempFd);
  if (problem.empty() && ::fsync(tempFd) != 0)
    problem = std::strerror(errno);
  ::close(tempFd);
  if (problem.empty() && ::rename(temp.c_str(), url_.c_str()) != 0)
    problem = std::strerror(errno);
  if (!problem.empty()) {
    std::error_code ignored;
    std::filesystem::remove(temp, ignored);
    logger_.error(LogCategory::writer,
                  formatString("the take stays fragmented: %s", problem.c_str()));
    return;
  }
  syncFolder(folder);
}

// Copies every packet of source into a plain QuickTime movie written through
// fd (an empty file at target), its index moved to the front. Returns what
// went wrong, or nothing.
std::string remuxMovie(const std::filesystem::path& source, const std::filesystem::path& target,
                       int fd) {
  AVFormatContext* input = nullptr;
  int rc = avformat_open_input(&input, source.c_str(), nullptr, nullptr);
  if (rc < 0)
    return "the take couldn't be read: " + errorString(rc);
  AVFormatContext* output = nullptr;
  rc = avformat_alloc_output_context2(&output, nullptr, "mov", target.c_str());
  if (rc < 0 || !output) {
    avformat_close_input(&input);
    return "the QuickTime writer is not available";
  }
  std::string problem;
  std::vector<int> streamMap(input->nb_streams, -1);
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    const AVStream* in = input->streams[i];
    if (in->codecpar->codec_type != AVMEDIA_TYPE_VIDEO &&
        in->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
      continue;
    AVStream* out = avformat_new_stream(output, nullptr);
    if (!out || avcodec_parameters_copy(out->codecpar, in->codecpar) < 0) {
      problem = "out of memory";
      break;
    }
    out->codecpar->codec_tag = 0;
    // The demuxer does not tell the AAC frame length the muxer wants.
    if (out->codecpar->codec_id == AV_CODEC_ID_AAC && out->codecpar->frame_size == 0)
      out->codecpar->frame_size = 1024;
    out->time_base = in->time_base;
    streamMap[i] = out->index;
  }
  // The moov is moved to the front by rewriting the file in place, which
  // reads it back by name; the rest goes through fd.
  std::uint8_t* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBufferSize));
  int descriptor = fd;
  AVIOContext* io = buffer ? avio_alloc_context(buffer, kIoBufferSize, 1, &descriptor, nullptr,
                                                writeToFile, seekInFile)
                           : nullptr;
  if (!io) {
    av_free(buffer);
    problem = "out of memory";
  }
  if (problem.empty()) {
    output->pb = io;
    output->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "+faststart", 0);
    rc = avformat_write_header(output, &options);
    av_dict_free(&options);
    if (rc < 0)
      problem = "the copy's header couldn't be written: " + errorString(rc);
  }
  // The demuxer does not give a fragment's samples their own lengths, so
  // each packet is held until the next one of its track gives it its
  // length; the last one of a track lasts until the track's end.
  std::vector<AVPacket*> held(input->nb_streams, nullptr);
  auto writeHeld = [&](unsigned index, std::int64_t nextDts) {
    AVPacket* packet = held[index];
    if (!packet)
      return;
    held[index] = nullptr;
    const AVStream* in = input->streams[index];
    if (nextDts != AV_NOPTS_VALUE && packet->dts != AV_NOPTS_VALUE && nextDts > packet->dts)
      packet->duration = nextDts - packet->dts;
    else if (nextDts == AV_NOPTS_VALUE && in->duration > 0 && packet->pts != AV_NOPTS_VALUE) {
      std::int64_t start = in->start_time != AV_NOPTS_VALUE ? in->start_time : 0;
      packet->duration = std::max(packet->duration, start + in->duration - packet->pts);
    }
    av_packet_rescale_ts(packet, in->time_base, output->streams[streamMap[index]]->time_base);
    packet->stream_index = streamMap[index];
    packet->pos = -1;
    int written = av_interleaved_write_frame(output, packet);
    av_packet_free(&packet);
    if (written < 0 && problem.empty())
      problem = "the copy couldn't be written: " + errorString(written);
  };
  for (;;) {
    if (!problem.empty())
      break;
    AVPacket* packet = av_packet_alloc();
    if (!packet) {
      problem = "out of memory";
      break;
    }
    rc = av_read_frame(input, packet);
    if (rc < 0) {
      av_packet_free(&packet);
      if (rc != AVERROR_EOF)
        problem = "the take couldn't be read: " + errorString(rc);
      break;
    }
    unsigned index = static_cast<unsigned>(packet->stream_index);
    if (index >= streamMap.size() || streamMap[index] < 0) {
      av_packet_free(&packet);
      continue;
    }
    writeHeld(index, packet->dts);
    held[index] = packet;
  }
  for (unsigned i = 0; i < held.size(); ++i) {
    if (problem.empty())
      writeHeld(i, AV_NOPTS_VALUE);
    av_packet_free(&held[i]);
  }
  if (problem.empty()) {
    rc = av_write_trailer(output);
    if (rc < 0)
      problem = "the copy couldn't be finished: " + errorString(rc);
  }
  if (problem.empty() && io) {
    avio_flush(io);
    if (io->error < 0)
      problem = "the copy couldn't be written: " + errorString(io->error);
  }
  if (io) {
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
  output->pb = nullptr;
  avformat_free_context(output);
  avformat_close_input(&input);
  return problem;
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
