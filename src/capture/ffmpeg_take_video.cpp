#include "capture/ffmpeg_take_encoder_impl.h"

#include "capture/bgra_to_i420.h"

extern "C" {
#include <libavutil/imgutils.h>
}

#include <algorithm>
#include <iterator>

namespace vidorel::take_encoding {

bool FfmpegTakeEncoder::encodeVideo(const VideoJob& job) {
  const VideoFrame& frame = job.frame;
  // Odd display sizes are cropped by a pixel; a display that shrank mid-take
  // gives frames that cannot fill the picture, and they are skipped.
  if (frame.width < width_ || frame.height < height_)
    return true;
  if (!settings_.constantRate) {
    std::int64_t pts = av_rescale_q(job.time, kNanoseconds, kVideoTimeBase);
    if (pts <= lastVideoPts_)
      return true; // two frames within one tick of the time base
    return encodePicture(frame, pts);
  }
  // A frame that comes early moves on to the next free tick. One that
  // would land more than a frame late (a source faster than the rate)
  // waits for the next tick instead, unless a newer one replaces it there:
  // the grid never drifts from the clock, and the last picture is never lost.
  std::int64_t tick = nearestTick(job.time);
  if (havePicture_ && tick + 1 < nextTick_) {
    deferred_ = job.frame; // a newer early picture replaces an older one
    return true;
  }
  // A waiting picture keeps the free tick unless this one needs it.
  if (deferred_ && tick <= nextTick_)
    deferred_.reset();
  if (!repeatUpTo(std::max(tick, nextTick_)))
    return false;
  tick = std::max(tick, nextTick_);
  nextTick_ = tick + 1;
  return encodePicture(frame, tick * kTick);
}

// The capture's picture goes to the encoder as it is (x264 copies what it
// keeps): at 4K another copy costs milliseconds a frame and 12 MB more. The
// buffer is read-only to FFmpeg, so a later picture that needs converting
// gets a buffer of its own instead of writing over the capture's.
bool FfmpegTakeEncoder::referencePicture(const VideoFrame& frame) {
  using Pixels = std::shared_ptr<const std::vector<std::uint8_t>>;
  auto* owner = new Pixels(frame.pixels);
  AVBufferRef* buffer = av_buffer_create(
      const_cast<std::uint8_t*>(frame.pixels->data()), frame.pixels->size(),
      [](void* opaque, std::uint8_t*) { delete static_cast<Pixels*>(opaque); }, owner,
      AV_BUFFER_FLAG_READONLY);
  if (!buffer) {
    delete owner;
    return false;
  }
  av_frame_unref(picture_.get());
  picture_->buf[0] = buffer;
  picture_->format = AV_PIX_FMT_YUV420P;
  picture_->width = width_;
  picture_->height = height_;
  std::uint8_t* y = buffer->data;
  std::uint8_t* u = y + static_cast<std::size_t>(width_) * height_;
  picture_->data[0] = y;
  picture_->data[1] = u;
  picture_->data[2] = u + i420ChromaSize(width_, height_);
  picture_->linesize[0] = width_;
  picture_->linesize[1] = picture_->linesize[2] = (width_ + 1) / 2;
  return true;
}

// Cropped to the take's size, converted when it is 32-bit pixels.
bool FfmpegTakeEncoder::copyPicture(const VideoFrame& frame) {
  int rc = av_frame_make_writable(picture_.get());
  if (rc < 0)
    return fail("The video frame couldn't be prepared", rc);
  if (frame.layout == PixelLayout::i420) {
    const std::uint8_t* y = frame.pixels->data();
    const std::uint8_t* u = y + static_cast<std::size_t>(frame.width) * frame.height;
    const std::uint8_t* v = u + i420ChromaSize(frame.width, frame.height);
    const std::uint8_t* planes[4] = {y, u, v, nullptr};
    int chromaStride = (frame.width + 1) / 2;
    int strides[4] = {frame.width, chromaStride, chromaStride, 0};
    av_image_copy(picture_->data, picture_->linesize, planes, strides, AV_PIX_FMT_YUV420P, width_,
                  height_);
    return true;
  }
  convertBgraToI420(frame.pixels->data(), frame.stride, width_, height_,
                    {picture_->data[0], picture_->linesize[0], picture_->data[1],
                     picture_->linesize[1], picture_->data[2], picture_->linesize[2]});
  return true;
}

bool FfmpegTakeEncoder::encodePicture(const VideoFrame& frame, std::int64_t pts) {
  if (frame.layout == PixelLayout::i420 && frame.width == width_ && frame.height == height_) {
    if (!referencePicture(frame))
      return fail("The video frame couldn't be prepared", AVERROR(ENOMEM));
  } else if (!copyPicture(frame)) {
    return false;
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
  return sendVideoFrame(picture_.get());
}

// The screen did not change up to the job's time: at the constant rate,
// the ticks before it repeat the last picture; otherwise the picture is
// written once more at that time, left to the encoder to code (as a frame
// of skipped blocks, almost nothing).
bool FfmpegTakeEncoder::encodeRepeat(const RepeatJob& job) {
  if (settings_.constantRate)
    return repeatUpTo(nearestTick(job.time));
  std::int64_t pts = av_rescale_q(job.time, kNanoseconds, kVideoTimeBase);
  if (!havePicture_ || pts <= lastVideoPts_)
    return true;
  picture_->pts = pts;
  picture_->pict_type = AV_PICTURE_TYPE_NONE;
  lastVideoPts_ = pts;
  return sendVideoFrame(picture_.get());
}

bool FfmpegTakeEncoder::repeatUpTo(std::int64_t end) {
  if (deferred_ && end >= nextTick_) {
    // The tick the early picture waited for has come.
    VideoFrame frame = std::move(*deferred_);
    deferred_.reset();
    std::int64_t tick = nextTick_++;
    if (!encodePicture(frame, tick * kTick))
      return false;
  }
  if (!havePicture_ || end <= nextTick_)
    return true;
  if (skips_) {
    nextTick_ = end;
    // Frames still inside the encoder come first; the skip frames before
    // and after them are written as their packets come out.
    return pendingFrames_ > 0 || writeSkipsBefore(end);
  }
  for (; nextTick_ < end; ++nextTick_) {
    picture_->pts = nextTick_ * kTick;
    picture_->pict_type = AV_PICTURE_TYPE_NONE;
    if (!sendVideoFrame(picture_.get()))
      return false;
  }
  return true;
}

bool FfmpegTakeEncoder::writeSkipsBefore(std::int64_t tick) {
  for (std::int64_t t = writtenTick_ + 1; t < tick && skips_->canRepeat(); ++t) {
    Bytes unit = skips_->repeat();
    int rc = av_new_packet(skipPacket_.get(), static_cast<int>(unit.size() + 4));
    if (rc < 0)
      return fail("Out of memory while repeating a frame", rc);
    static constexpr std::uint8_t kStartCode[] = {0, 0, 0, 1};
    std::copy(std::begin(kStartCode), std::end(kStartCode), skipPacket_->data);
    std::copy(unit.begin(), unit.end(), skipPacket_->data + 4);
    skipPacket_->pts = skipPacket_->dts = t * kTick;
    skipPacket_->duration = kTick;
    writtenTick_ = t;
    if (!writePacket(skipPacket_.get(), video_.get(), videoStream_))
      return false;
  }
  return true;
}

// The encoder's frame_num goes on from the skip frames before it.
bool FfmpegTakeEncoder::renumber(AVPacket* packet) {
  std::vector<Bytes> units = splitAnnexB(packet->data, static_cast<std::size_t>(packet->size));
  bool rewritten = false;
  if (!skips_->renumber(units, &rewritten))
    return fail("The H.264 encoder wrote a slice that cannot be read", 0);
  if (!rewritten)
    return true;
  std::size_t size = 0;
  for (const Bytes& unit : units)
    size += unit.size() + 4;
  AVBufferRef* buffer = av_buffer_allocz(size + AV_INPUT_BUFFER_PADDING_SIZE);
  if (!buffer)
    return fail("Out of memory while writing a frame", 0);
  std::uint8_t* at = buffer->data;
  for (const Bytes& unit : units) {
    at[3] = 1; // start code 00 00 00 01
    at = std::copy(unit.begin(), unit.end(), at + 4);
  }
  av_buffer_unref(&packet->buf);
  packet->buf = buffer;
  packet->data = buffer->data;
  packet->size = static_cast<int>(size);
  return true;
}

bool FfmpegTakeEncoder::sendVideoFrame(AVFrame* frame) {
  int rc = avcodec_send_frame(video_.get(), frame);
  if (rc < 0)
    return fail("The H.264 encoder refused a frame", rc);
  if (frame)
    ++pendingFrames_;
  for (;;) {
    rc = avcodec_receive_packet(video_.get(), packet_.get());
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
      return true;
    if (rc < 0)
      return fail("The H.264 encoder failed", rc);
    --pendingFrames_;
    if (packet_->flags & AV_PKT_FLAG_KEY)
      lastKeyPts_ = packet_->pts;
    if (!writeVideoPacket(packet_.get()))
      return false;
  }
}

// A frame lasts until the next one (an unchanged screen adds no frames), so
// each packet is held back until its successor gives it its duration.
bool FfmpegTakeEncoder::writeVideoPacket(AVPacket* packet) {
  if (settings_.constantRate) {
    // Every frame lasts one tick; the ticks before it without a new
    // picture are repeats.
    std::int64_t tick = packet->pts / kTick;
    if (skips_ && (!writeSkipsBefore(tick) || !renumber(packet)))
      return false;
    packet->duration = kTick;
    writtenTick_ = tick;
    return writePacket(packet, video_.get(), videoStream_);
  }
  if (holdingVideo_) {
    heldVideo_->duration = packet->pts - heldVideo_->pts;
    holdingVideo_ = false;
    if (!writePacket(heldVideo_.get(), video_.get(), videoStream_))
      return false;
  }
  av_packet_unref(heldVideo_.get());
  av_packet_move_ref(heldVideo_.get(), packet);
  holdingVideo_ = true;
  return true;
}

} // namespace vidorel::take_encoding
