#include "capture/ffmpeg_take_encoder_impl.h"

#include "base/format.h"
#include "capture/capture_error.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <vector>

namespace vidorel {

namespace take_encoding {

FfmpegTakeEncoder::FfmpegTakeEncoder(std::filesystem::path url, int width, int height,
                                     Logger& logger, TakeEncoderSettings settings)
    : url_(std::move(url)), width_(width), height_(height), logger_(logger),
      settings_(std::move(settings)) {
  if (width_ <= 0 || height_ <= 0 || width_ % 2 != 0 || height_ % 2 != 0)
    throw CaptureFailure(formatString("The movie size %dx%d cannot be encoded.", width_, height_));
  file_.emplace(url_);
  openEncoders();
}

FfmpegTakeEncoder::~FfmpegTakeEncoder() {
  if (thread_.joinable()) {
    push(FinishJob{0});
    thread_.join();
  }
  av_channel_layout_uninit(&resamplerLayout_);
}

void FfmpegTakeEncoder::openEncoders() {
  AVFormatContext* format = nullptr;
  int rc = avformat_alloc_output_context2(&format, nullptr, "mov", url_.c_str());
  if (rc < 0 || !format)
    throw CaptureFailure("The QuickTime writer is not available: " + avErrorText(rc));
  format_.reset(format);

  TakeVideoEncoding encoding;
  encoding.width = width_;
  encoding.height = height_;
  encoding.threads = settings_.threads;
  encoding.preset = settings_.preset;
  encoding.stitchableHeaders = settings_.stitchableHeaders;
  encoding.rateControl = settings_.rateControl.value_or(takeRateControlFor(width_, height_));
  video_ = openTakeVideoEncoder(encoding);
  if (!video_)
    throw CaptureFailure("The H.264 encoder couldn't be opened.");
  if (settings_.constantRate && settings_.skipFrames) {
    std::string why;
    skips_ =
        SkipFrames::make(parameterSetsFromAnnexB(video_->extradata,
                                                 static_cast<std::size_t>(video_->extradata_size)),
                         why);
    if (!skips_)
      logger_.error(LogCategory::writer,
                    formatString("repeats are encoded, not skipped: %s", why.c_str()));
  }
  audio_ = openTakeAudioEncoder();
  if (!audio_)
    throw CaptureFailure("The AAC encoder couldn't be opened.");

  // Video first, so the video track is the first track of the file.
  videoStream_ = avformat_new_stream(format_.get(), nullptr);
  audioStream_ = avformat_new_stream(format_.get(), nullptr);
  fifo_.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, kTakeAudioChannels, audio_->frame_size * 4));
  picture_ = makeFrame();
  sound_ = makeFrame();
  packet_ = makePacket();
  heldVideo_ = makePacket();
  skipPacket_ = makePacket();
  if (!skipPacket_ || !videoStream_ || !audioStream_ || !fifo_ || !picture_ || !sound_ ||
      !packet_ || !heldVideo_ || !file_->io())
    throw CaptureFailure("Out of memory while preparing the take writer.");
  avcodec_parameters_from_context(videoStream_->codecpar, video_.get());
  videoStream_->time_base = kVideoTimeBase;
  avcodec_parameters_from_context(audioStream_->codecpar, audio_.get());
  audioStream_->time_base = {1, kAudioRate};
  picture_->format = AV_PIX_FMT_YUV420P;
  picture_->width = width_;
  picture_->height = height_;
  if (av_frame_get_buffer(picture_.get(), 0) < 0)
    throw CaptureFailure("Out of memory while preparing the take writer.");
}

bool FfmpegTakeEncoder::fail(const std::string& what, int code) {
  std::string text = code < 0 ? what + ": " + avErrorText(code) : what;
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
  format_->pb = file_->io();
  format_->flags |= AVFMT_FLAG_CUSTOM_IO;
  // A fragmented movie: a crash leaves every fragment written before it
  // readable. The index of each second is cut and synced by cutFragment();
  // the movie header waits for the first cut so the tracks' start offsets
  // (the sound's encoder delay) are known when it is written.
  AVDictionary* options = nullptr;
  av_dict_set(&options, "movflags", "+frag_custom+empty_moov+delay_moov+default_base_moof", 0);
  int rc = avformat_write_header(format_.get(), &options);
  av_dict_free(&options);
  if (rc < 0)
    return fail("The movie header couldn't be written", rc);
  file_->markWritten();
  status_ = WriterStatus::writing;
  thread_ = std::thread([this] { run(); });
  return true;
}

void FfmpegTakeEncoder::push(Job job) {
  {
    std::lock_guard lock(mutex_);
    if (auto* video = std::get_if<VideoJob>(&job)) {
      ++queuedVideo_;
      queuedVideoBytes_ += video->frame.pixels->size();
    } else if (std::holds_alternative<RepeatJob>(job))
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
    file_->close();
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
        file_->close();
        // When the copy cannot be made (a full disk) the fragmented movie
        // stays, which plays as well.
        std::string problem = settings_.rewriteAsPlainMovie ? rewriteAsPlainMovie(url_) : "";
        if (!problem.empty())
          logger_.error(LogCategory::writer,
                        formatString("the take stays fragmented: %s", problem.c_str()));
        status_ = WriterStatus::completed;
      } else {
        closeAfterFailure();
        file_->close();
      }
      return;
    }
    if (auto* video = std::get_if<VideoJob>(&job)) {
      if (healthy)
        healthy = encodeVideo(*video) && cutFragmentIfDue(video->time);
      std::lock_guard lock(mutex_);
      --queuedVideo_;
      queuedVideoBytes_ -= video->frame.pixels->size();
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
  int rc = av_write_frame(format_.get(), packet);
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
  // Sound already flowing gives its first packet within a few buffers; a
  // microphone that delivered once and stalled is not waited for longer.
  constexpr std::int64_t kWaitForFirstSoundPacket = 1'500'000'000;
  if (time - lastCutTime_ < kFragmentLength || videoPacketsWritten_ == 0)
    return true;
  if (audioPacketsWritten_ == 0) {
    if (audioSamples_ > 0 && time < kWaitForFirstSoundPacket)
      return true;
    if (!primeSound())
      return false;
  }
  lastCutTime_ = time;
  return cutFragment();
}

// The movie header goes out with the first cut and fixes where each track
// starts (the sound's encoder delay); a track without samples then would
// start in the wrong place. A microphone that has not delivered yet (a
// headset still switching profiles) must not hold back the header, and with
// it every fragment of the take, so the sound begins with the encoder's
// first frames of silence; the microphone's sound follows where it belongs.
bool FfmpegTakeEncoder::primeSound() {
  constexpr int kMostFrames = 8;
  for (int frames = 0; audioPacketsWritten_ == 0 && frames < kMostFrames; ++frames) {
    if (!pushSilence(audio_->frame_size))
      return false;
  }
  return true;
}

bool FfmpegTakeEncoder::cutFragment() {
  // The first flush of a delayed header writes only the header.
  int flushes = file_->durablePieces() == 0 ? 2 : 1;
  for (int i = 0; i < flushes; ++i) {
    int rc = av_write_frame(format_.get(), nullptr);
    if (rc < 0)
      return fail("The movie couldn't be written", rc);
  }
  if (int rc = file_->makeDurable(writtenEnd_); rc < 0)
    return fail("The movie couldn't be written", rc);
  return true;
}

void FfmpegTakeEncoder::closeAfterFailure() {
  // A fragment that was being written when writing failed may be torn;
  // what reached the disk before it stays, a movie any player reads.
  file_->truncateToDurable();
  logger_.error(LogCategory::writer,
                formatString("take kept up to the last fragment on disk: %d fragments, %lld bytes",
                             file_->durablePieces(), static_cast<long long>(file_->durableSize())));
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
    resampler_.reset();
    AVSampleFormat inFormat =
        buffer.format == SampleFormat::s16 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_FLT;
    SwrContext* resampler = nullptr;
    int rc = swr_alloc_set_opts2(&resampler, &audio_->ch_layout, AV_SAMPLE_FMT_FLTP, kAudioRate,
                                 &layout, inFormat, buffer.sampleRate, 0, nullptr);
    resampler_.reset(resampler);
    if (rc >= 0)
      rc = swr_init(resampler_.get());
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

  int capacity = swr_get_out_samples(resampler_.get(), frames) + 16;
  std::vector<float> left(capacity), right(capacity);
  std::uint8_t* out[2] = {reinterpret_cast<std::uint8_t*>(left.data()),
                          reinterpret_cast<std::uint8_t*>(right.data())};
  const std::uint8_t* in[1] = {buffer.data.data()};
  int produced = swr_convert(resampler_.get(), out, capacity, in, frames);
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
  if (av_audio_fifo_write(fifo_.get(), data, count) < count)
    return fail("Out of memory while buffering sound", 0);
  audioSamples_ += count;
  return sendAudioFrames(false);
}

bool FfmpegTakeEncoder::sendAudioFrames(bool flush) {
  int frameSize = audio_->frame_size;
  while (av_audio_fifo_size(fifo_.get()) >= frameSize ||
         (flush && av_audio_fifo_size(fifo_.get()) > 0)) {
    int count = std::min(frameSize, av_audio_fifo_size(fifo_.get()));
    av_frame_unref(sound_.get());
    sound_->format = AV_SAMPLE_FMT_FLTP;
    sound_->sample_rate = kAudioRate;
    av_channel_layout_copy(&sound_->ch_layout, &audio_->ch_layout);
    sound_->nb_samples = count;
    int rc = av_frame_get_buffer(sound_.get(), 0);
    if (rc < 0)
      return fail("Out of memory while encoding sound", rc);
    av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(sound_->data), count);
    sound_->pts = audioSent_;
    audioSent_ += count;
    rc = avcodec_send_frame(audio_.get(), sound_.get());
    if (rc < 0)
      return fail("The AAC encoder refused a frame", rc);
    if (!writeAudioPackets())
      return false;
  }
  return true;
}

bool FfmpegTakeEncoder::writeAudioPackets() {
  for (;;) {
    int rc = avcodec_receive_packet(audio_.get(), packet_.get());
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
      return true;
    if (rc < 0)
      return fail("The AAC encoder failed", rc);
    if (!writePacket(packet_.get(), audio_.get(), audioStream_))
      return false;
  }
}

bool FfmpegTakeEncoder::finishFile(std::int64_t endTime) {
  // The last picture stays on screen until the take ends.
  if (settings_.constantRate && !repeatUpTo(std::max(nextTick_, nearestTick(endTime))))
    return false;
  if (!sendVideoFrame(nullptr))
    return false;
  if (skips_ && !writeSkipsBefore(nextTick_))
    return false;
  if (holdingVideo_) {
    // The last frame stays on screen until the take ends.
    std::int64_t end = av_rescale_q(endTime, kNanoseconds, kVideoTimeBase);
    std::int64_t oneFrame = kVideoTimeBase.den / 60;
    heldVideo_->duration = std::max(end - heldVideo_->pts, oneFrame);
    holdingVideo_ = false;
    if (!writePacket(heldVideo_.get(), video_.get(), videoStream_))
      return false;
  }
  if (!sendAudioFrames(true))
    return false;
  int rc = avcodec_send_frame(audio_.get(), nullptr);
  if (rc < 0)
    return fail("The AAC encoder couldn't be flushed", rc);
  if (!writeAudioPackets())
    return false;
  rc = av_write_trailer(format_.get());
  if (rc < 0)
    return fail("The movie couldn't be finished", rc);
  if (rc = file_->makeDurable(writtenEnd_); rc < 0)
    return fail("The movie couldn't be finished", rc);
  return true;
}

} // namespace take_encoding

std::unique_ptr<TakeEncoder> makeFfmpegTakeEncoder(const std::filesystem::path& outputURL,
                                                   int width, int height, Logger& logger,
                                                   const TakeEncoderSettings& settings) {
  // x264 prints its statistics at the end of every take otherwise.
  if (av_log_get_level() > AV_LOG_WARNING)
    av_log_set_level(AV_LOG_WARNING);
  return std::make_unique<take_encoding::FfmpegTakeEncoder>(outputURL, width, height, logger,
                                                            settings);
}

std::unique_ptr<TakeWriter> makeFfmpegTakeWriter(const std::filesystem::path& outputURL, int width,
                                                 int height, DurationProbe& probe, Logger& logger) {
  return std::make_unique<TakeWriter>(
      outputURL, makeFfmpegTakeEncoder(outputURL, width, height, logger), probe, logger);
}

} // namespace vidorel
