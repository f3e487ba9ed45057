#include "export/ffmpeg_session_exporter.h"

#include "base/files.h"
#include "capture/ffmpeg_take_writer.h"
#include "export/avc_config.h"
#include "export/quicktime_writer.h"
#include "export/segment_edits.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <set>
#include <thread>

namespace vidorel {
namespace fs = std::filesystem;

namespace {

// The movie's video track counts in 1/90000 s: trim points (1/600 s) and
// AAC packets at 48 kHz (1920 ticks) fall on whole ticks.
constexpr int kVideoTimescale = 90000;
constexpr AVRational kVideoTime = {1, kVideoTimescale};
constexpr std::int64_t kTicksPerMovieUnit = kVideoTimescale / kMovieTimescale;
constexpr int kAudioRate = 48000;
constexpr int kAudioChannels = 2;
constexpr int kAacFrame = 1024;
constexpr std::int64_t kTicksPerAacFrame = std::int64_t{kAacFrame} * kVideoTimescale / kAudioRate;
constexpr std::int64_t kAudioBitRate = 128000;
// Audio and video are interleaved in the file in runs of this length, so a
// player reading the movie in order finds both close together.
constexpr std::int64_t kInterleaveTicks = kVideoTimescale / 2;
// Re-encoded frames use the take writer's x264 preset and frame settings, so
// that their parameter sets equal those of the takes it wrote and the movie
// keeps one sample description. Takes with stitchable headers (see the take
// writer) have parameter sets that do not depend on the rate control, so
// their frames are re-encoded at a constant quantiser: it skips the rate
// factor's look at every frame, about a fifth of each frame's encoding time.
// Takes written before that carry the rate factor's initial quantiser in
// their picture parameter set; theirs are re-encoded at the same rate
// factor, capped at the same quantiser (x264 does not write the cap into the
// parameter sets). Quantiser 14 keeps screen content visually lossless.
enum class ReencodeSettings { constantQuantiser, takeRateFactor };
constexpr const char* kConstantQuantiserParams = "qp=14:stitchable=1";
constexpr const char* kTakeCrf = "23";
constexpr const char* kRateFactorParams = "qpmax=14";

std::string avErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

ExportFailure fileFailure(const fs::path& file, const std::string& text) {
  return ExportFailure::platform(file.string() + ": " + text);
}

struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

struct CodecDeleter {
  void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecDeleter>;

struct ScalerDeleter {
  void operator()(SwsContext* scaler) const { sws_freeContext(scaler); }
};
using ScalerPtr = std::unique_ptr<SwsContext, ScalerDeleter>;

struct ResamplerDeleter {
  void operator()(SwrContext* resampler) const { swr_free(&resampler); }
};
using ResamplerPtr = std::unique_ptr<SwrContext, ResamplerDeleter>;

PacketPtr makePacket() {
  return PacketPtr(av_packet_alloc());
}

std::int64_t presentationTime(const AVPacket& packet) {
  return packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
}

std::int64_t decodeTime(const AVPacket& packet) {
  return packet.dts != AV_NOPTS_VALUE ? packet.dts : packet.pts;
}

bool isKey(const AVPacket& packet) {
  return (packet.flags & AV_PKT_FLAG_KEY) != 0;
}

// The first stream of one media type of a take file, opened on its own so
// that it can be sought independently of the take's other stream.
class StreamReader {
public:
  StreamReader() = default;
  ~StreamReader() {
    if (format_)
      avformat_close_input(&format_);
  }
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  std::optional<ExportFailure> open(const fs::path& file, AVMediaType type) {
    file_ = file;
    // libavformat would wait for the writer of a named pipe for ever, or
    // read a device without end: only a regular file is a take.
    if (std::optional<std::string> kind = nonRegularKind(file))
      return fileFailure(file, "a " + *kind + ", not a movie file");
    int result = avformat_open_input(&format_, file.c_str(), nullptr, nullptr);
    if (result < 0)
      return fileFailure(file, avErrorText(result));
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
      AVStream* stream = format_->streams[i];
      bool wanted = stream_ == nullptr && stream->codecpar->codec_type == type &&
                    !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC);
      if (wanted)
        stream_ = stream;
      else
        stream->discard = AVDISCARD_ALL;
    }
    return std::nullopt;
  }

  bool hasStream() const { return stream_ != nullptr; }
  AVStream& stream() const { return *stream_; }
  const AVCodecParameters& codec() const { return *stream_->codecpar; }
  const fs::path& file() const { return file_; }

  // Stream time to movie video ticks and back.
  std::int64_t toTicks(std::int64_t timestamp) const {
    return av_rescale_q(timestamp, stream_->time_base, kVideoTime);
  }
  std::int64_t fromTicks(std::int64_t ticks) const {
    return av_rescale_q_rnd(ticks, kVideoTime, stream_->time_base, AV_ROUND_DOWN);
  }

  std::optional<ExportFailure> seekBefore(std::int64_t timestamp) {
    int result = av_seek_frame(format_, stream_->index, timestamp, AVSEEK_FLAG_BACKWARD);
    if (result < 0)
      result = av_seek_frame(format_, stream_->index, timestamp, AVSEEK_FLAG_ANY);
    if (result < 0)
      return fileFailure(file_, avErrorText(result));
    return std::nullopt;
  }

  // The stream's next packet, or nothing at the end.
  std::optional<ExportFailure> read(PacketPtr& packet) {
    packet = makePacket();
    for (;;) {
      av_packet_unref(packet.get());
      int result = av_read_frame(format_, packet.get());
      if (result == AVERROR_EOF) {
        packet.reset();
        return std::nullopt;
      }
      if (result < 0)
        return fileFailure(file_, avErrorText(result));
      if (packet->stream_index == stream_->index)
        return std::nullopt;
    }
  }

private:
  fs::path file_;
  AVFormatContext* format_ = nullptr;
  AVStream* stream_ = nullptr;
};

// A decoder for a reader's stream, on this many threads.
std::optional<ExportFailure> openDecoder(const StreamReader& reader, CodecPtr& decoder,
                                         int threads = kTakeThreads) {
  const AVCodec* codec = avcodec_find_decoder(reader.codec().codec_id);
  if (!codec)
    return fileFailure(reader.file(),
                       std::string("no decoder for ") + avcodec_get_name(reader.codec().codec_id));
  decoder.reset(avcodec_alloc_context3(codec));
  if (!decoder)
    return fileFailure(reader.file(), avErrorText(AVERROR(ENOMEM)));
  avcodec_parameters_to_context(decoder.get(), &reader.codec());
  decoder->pkt_timebase = reader.stream().time_base;
  decoder->thread_count = threads;
  int result = avcodec_open2(decoder.get(), codec, nullptr);
  if (result < 0)
    return fileFailure(reader.file(), avErrorText(result));
  return std::nullopt;
}

// Sends a packet (nothing: the end) and hands every frame it completes to
// took, in presentation order.
template <typename Took>
std::optional<ExportFailure> decode(AVCodecContext& decoder, const AVPacket* packet,
                                    const fs::path& file, Took&& took) {
  int result = avcodec_send_packet(&decoder, packet);
  if (result < 0 && result != AVERROR_EOF && result != AVERROR_INVALIDDATA)
    return fileFailure(file, avErrorText(result));
  for (;;) {
    FramePtr frame(av_frame_alloc());
    result = avcodec_receive_frame(&decoder, frame.get());
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
      return std::nullopt;
    if (result == AVERROR_INVALIDDATA)
      continue;
    if (result < 0)
      return fileFailure(file, avErrorText(result));
    if (auto failure = took(std::move(frame)))
      return failure;
  }
}

// The video encoder for re-encoded frames: the take writer's settings, at
// the given rate control.
CodecPtr openVideoEncoder(int width, int height, int threads, ReencodeSettings settings) {
  const AVCodec* h264 = avcodec_find_encoder_by_name("libx264");
  if (!h264)
    return nullptr;
  CodecPtr video(avcodec_alloc_context3(h264));
  video->width = width;
  video->height = height;
  video->pix_fmt = AV_PIX_FMT_YUV420P;
  video->time_base = kVideoTime;
  video->framerate = {60, 1};
  video->max_b_frames = 0;
  video->gop_size = 120;
  video->keyint_min = 12;
  video->thread_count = threads;
  video->color_range = AVCOL_RANGE_MPEG;
  video->colorspace = AVCOL_SPC_BT709;
  video->color_primaries = AVCOL_PRI_BT709;
  video->color_trc = AVCOL_TRC_BT709;
  video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_opt_set(video->priv_data, "preset", kTakePreset, 0);
  av_opt_set(video->priv_data, "tune", "zerolatency", 0);
  av_opt_set(video->priv_data, "profile", "high", 0);
  if (settings == ReencodeSettings::constantQuantiser) {
    av_opt_set(video->priv_data, "x264-params", kConstantQuantiserParams, 0);
  } else {
    av_opt_set(video->priv_data, "crf", kTakeCrf, 0);
    av_opt_set(video->priv_data, "x264-params", kRateFactorParams, 0);
  }
  if (avcodec_open2(video.get(), h264, nullptr) < 0)
    return nullptr;
  return video;
}

// The audio encoder for converted sound and silence: the take writer's.
CodecPtr openAudioEncoder() {
  const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (!aac)
    return nullptr;
  CodecPtr audio(avcodec_alloc_context3(aac));
  audio->sample_fmt = AV_SAMPLE_FMT_FLTP;
  audio->sample_rate = kAudioRate;
  av_channel_layout_default(&audio->ch_layout, kAudioChannels);
  audio->bit_rate = kAudioBitRate;
  audio->time_base = {1, kAudioRate};
  audio->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (avcodec_open2(audio.get(), aac, nullptr) < 0)
    return nullptr;
  return audio;
}

TrackFormat videoFormat(int width, int height, Bytes config) {
  TrackFormat format;
  format.kind = TrackKind::video;
  format.width = width;
  format.height = height;
  format.config = std::move(config);
  return format;
}

// The sample format of a take's H.264 stream; its colour description is
// the take writer's (BT.709, limited range) where the take states none.
TrackFormat takeVideoFormat(const AVCodecParameters& codec) {
  TrackFormat format = videoFormat(codec.width, codec.height,
                                   Bytes(codec.extradata, codec.extradata + codec.extradata_size));
  if (codec.color_primaries != AVCOL_PRI_UNSPECIFIED)
    format.colourPrimaries = codec.color_primaries;
  if (codec.color_trc != AVCOL_TRC_UNSPECIFIED)
    format.transfer = codec.color_trc;
  if (codec.color_space != AVCOL_SPC_UNSPECIFIED)
    format.matrix = codec.color_space;
  format.fullRange = codec.color_range == AVCOL_RANGE_JPEG;
  return format;
}

bool copyableVideo(const AVCodecParameters& codec, int width, int height) {
  return codec.codec_id == AV_CODEC_ID_H264 && codec.width == width && codec.height == height &&
         codec.extradata_size > 6 && codec.extradata[0] == 1;
}

// A picture of the movie's size from a decoded frame: the same size is
// copied as it is, another size is scaled into the middle with black bars.
class Letterbox {
public:
  Letterbox(int width, int height) : width_(width), height_(height) {}

  FramePtr convert(const AVFrame& source) {
    // The same size: a new reference to the decoded picture, not a copy
    // (the encoder copies it into its own buffers anyway). Only the
    // picture: the take's SEI messages and such stay behind.
    if (source.width == width_ && source.height == height_ && source.format == AV_PIX_FMT_YUV420P) {
      FramePtr picture(av_frame_clone(&source));
      while (picture && picture->nb_side_data > 0)
        av_frame_remove_side_data(picture.get(), picture->side_data[0]->type);
      return picture;
    }
    FramePtr picture(av_frame_alloc());
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = width_;
    picture->height = height_;
    if (av_frame_get_buffer(picture.get(), 0) < 0)
      return nullptr;
    fillBlack(*picture);
    int scaledWidth = width_;
    int scaledHeight = height_;
    if (static_cast<std::int64_t>(source.width) * height_ >
        static_cast<std::int64_t>(source.height) * width_)
      scaledHeight = static_cast<int>(std::int64_t{source.height} * width_ / source.width);
    else
      scaledWidth = static_cast<int>(std::int64_t{source.width} * height_ / source.height);
    scaledWidth = std::max(2, scaledWidth & ~1);
    scaledHeight = std::max(2, scaledHeight & ~1);
    int left = ((width_ - scaledWidth) / 2) & ~1;
    int top = ((height_ - scaledHeight) / 2) & ~1;
    scaler_.reset(sws_getCachedContext(
        scaler_.release(), source.width, source.height, static_cast<AVPixelFormat>(source.format),
        scaledWidth, scaledHeight, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!scaler_)
      return nullptr;
    std::uint8_t* planes[4] = {picture->data[0] + top * picture->linesize[0] + left,
                               picture->data[1] + top / 2 * picture->linesize[1] + left / 2,
                               picture->data[2] + top / 2 * picture->linesize[2] + left / 2,
                               nullptr};
    sws_scale(scaler_.get(), source.data, source.linesize, 0, source.height, planes,
              picture->linesize);
    return picture;
  }

  FramePtr black() {
    FramePtr picture(av_frame_alloc());
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = width_;
    picture->height = height_;
    if (av_frame_get_buffer(picture.get(), 0) < 0)
      return nullptr;
    fillBlack(*picture);
    return picture;
  }

private:
  void fillBlack(AVFrame& picture) const {
    for (int y = 0; y < height_; ++y)
      std::memset(picture.data[0] + y * picture.linesize[0], 16, static_cast<size_t>(width_));
    for (int plane = 1; plane < 3; ++plane) {
      for (int y = 0; y < height_ / 2; ++y)
        std::memset(picture.data[plane] + y * picture.linesize[plane], 128,
                    static_cast<size_t>(width_ / 2));
    }
  }

  int width_;
  int height_;
  ScalerPtr scaler_;
};

// A video sample of a segment, in decode order: a take's packet copied as
// it is, or one of our encoder's.
struct CutSample {
  PacketPtr packet;         // copied
  Bytes bytes;              // encoded, length-prefixed
  std::int64_t time = 0;    // composition time in the segment, ticks
  std::int64_t reorder = 0; // the source's own reordering delay, ticks
  bool sync = false;
  bool encoded = false;

  const std::uint8_t* data() const { return packet ? packet->data : bytes.data(); }
  std::size_t size() const {
    return packet ? static_cast<std::size_t>(packet->size) : bytes.size();
  }
};

// Takes the samples of a segment as they are made; a failure stops it.
using SampleSink = std::function<std::optional<ExportFailure>(CutSample)>;

// The parameter sets of an encoder's global header.
AvcParameterSets encoderParameterSets(const AVCodecContext& encoder) {
  return parameterSetsFromAnnexB(encoder.extradata,
                                 static_cast<std::size_t>(std::max(0, encoder.extradata_size)));
}

// Frames re-encoded in one run: the first is an IDR frame, so the run can
// follow any copied frame and any copied key frame can follow it. The
// encoder's settings are chosen once, at the first frame: those whose
// parameter sets equal match where one does. format is then set to the
// encoded frames' sample format, before the first of them reaches the sink.
class FrameEncoder {
public:
  FrameEncoder(int width, int height, int threads, std::optional<AvcParameterSets> match,
               TrackFormat& format, const fs::path& file, const SampleSink& sink)
      : width_(width), height_(height), threads_(threads), match_(std::move(match)),
        format_(format), file_(file), sink_(sink), letterbox_(width, height) {}

  std::optional<ExportFailure> encode(const AVFrame* source, std::int64_t time) {
    if (!encoder_) {
      if (auto failure = open())
        return failure;
    }
    FramePtr picture = source ? letterbox_.convert(*source) : letterbox_.black();
    if (!picture)
      return fileFailure(file_, avErrorText(AVERROR(ENOMEM)));
    picture->pts = time;
    picture->pict_type = AV_PICTURE_TYPE_NONE;
    ++encoded_;
    return send(picture.get());
  }

  std::optional<ExportFailure> finish() {
    if (!encoder_)
      return std::nullopt;
    auto failure = send(nullptr);
    encoder_.reset();
    return failure;
  }

  std::int64_t encodedFrames() const { return encoded_; }

private:
  std::optional<ExportFailure> open() {
    if (settings_) {
      encoder_ = openVideoEncoder(width_, height_, threads_, *settings_);
    } else {
      encoder_ = openVideoEncoder(width_, height_, threads_, ReencodeSettings::constantQuantiser);
      settings_ = ReencodeSettings::constantQuantiser;
      if (encoder_ && match_ && encoderParameterSets(*encoder_) != *match_) {
        CodecPtr other =
            openVideoEncoder(width_, height_, threads_, ReencodeSettings::takeRateFactor);
        if (other && encoderParameterSets(*other) == *match_) {
          encoder_ = std::move(other);
          settings_ = ReencodeSettings::takeRateFactor;
        }
      }
      if (encoder_)
        format_ = videoFormat(width_, height_, makeAvcConfig(encoderParameterSets(*encoder_)));
    }
    if (!encoder_)
      return fileFailure(file_, "the H.264 encoder could not be opened");
    return std::nullopt;
  }

  std::optional<ExportFailure> send(const AVFrame* picture) {
    int result = avcodec_send_frame(encoder_.get(), picture);
    if (result < 0)
      return fileFailure(file_, avErrorText(result));
    for (;;) {
      PacketPtr packet = makePacket();
      result = avcodec_receive_packet(encoder_.get(), packet.get());
      if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
        return std::nullopt;
      if (result < 0)
        return fileFailure(file_, avErrorText(result));
      CutSample sample;
      sample.bytes = annexBToLengthPrefixed(packet->data, static_cast<std::size_t>(packet->size));
      sample.time = packet->pts;
      sample.sync = isKey(*packet);
      sample.encoded = true;
      if (auto failure = sink_(std::move(sample)))
        return failure;
    }
  }

  int width_;
  int height_;
  int threads_;
  std::optional<AvcParameterSets> match_;
  TrackFormat& format_;
  std::optional<ReencodeSettings> settings_;
  fs::path file_;
  const SampleSink& sink_;
  Letterbox letterbox_;
  CodecPtr encoder_;
  std::int64_t encoded_ = 0;
};

// One take's video in one segment. Packets from the first key frame shown
// at or after the trim start are copied while they are shown before the
// trim end; the frames shown before that key frame, and any shown before
// the end that need a frame shown after it, are decoded and re-encoded.
class VideoCut {
public:
  VideoCut(StreamReader& reader, int width, int height, int threads, std::int64_t start,
           std::int64_t end, std::optional<AvcParameterSets> match, TrackFormat& encodedFormat,
           const SampleSink& sink)
      : reader_(reader), width_(width), height_(height), threads_(threads), start_(start),
        end_(end), sink_(sink),
        encoder_(width, height, threads, std::move(match), encodedFormat, reader.file(), sink) {}

  std::optional<ExportFailure> run() {
    const AVCodecParameters& codec = reader_.codec();
    bool copyable = copyableVideo(codec, width_, height_);

    PacketPtr packet;
    if (auto failure = seekToKeyBefore(packet))
      return failure;
    if (auto failure = openDecoder(reader_, decoder_, threads_))
      return failure;

    // Up to the first key frame that can be copied.
    PacketPtr key;
    while (packet) {
      std::int64_t shown = reader_.toTicks(presentationTime(*packet));
      if (reader_.toTicks(decodeTime(*packet)) >= end_)
        break;
      if (copyable && isKey(*packet) && shown >= start_ && shown < end_) {
        key = std::move(packet);
        break;
      }
      if (auto failure = decodeHead(packet.get()))
        return failure;
      if (auto failure = reader_.read(packet))
        return failure;
    }
    if (auto failure = decodeHead(nullptr))
      return failure;
    std::int64_t headEnd = key ? reader_.toTicks(presentationTime(*key)) : end_;
    if (pending_ && headEnd > start_ && pendingTime_ < headEnd) {
      if (auto failure = encodeFrame(pending_.get(), pendingTime_))
        return failure;
    }
    pending_.reset();
    if (auto failure = encoder_.finish())
      return failure;

    if (key) {
      if (auto failure = copyFrom(std::move(key)))
        return failure;
    }
    if (!wrote_) {
      // Nothing of the take's picture falls in the range: black.
      if (auto failure = encoder_.encode(nullptr, 0))
        return failure;
      if (auto failure = encoder_.finish())
        return failure;
    }
    return std::nullopt;
  }

  std::int64_t reencodedFrames() const { return encoder_.encodedFrames(); }

private:
  // Time in the segment of a frame shown at this take time.
  std::int64_t segmentTime(std::int64_t shown) const { return std::max(shown, start_) - start_; }

  // Leaves packet at the last key frame shown at or before the trim start.
  // A seek lands on a key frame by decode time; with reordered frames it
  // may be shown after the trim start, so step back until it is not.
  std::optional<ExportFailure> seekToKeyBefore(PacketPtr& packet) {
    std::int64_t target = reader_.fromTicks(start_);
    std::int64_t previousDecodeTime = std::numeric_limits<std::int64_t>::min();
    for (int attempt = 0; attempt < 64; ++attempt) {
      if (auto failure = reader_.seekBefore(target))
        return failure;
      if (auto failure = reader_.read(packet))
        return failure;
      if (!packet)
        return std::nullopt;
      std::int64_t shown = presentationTime(*packet);
      std::int64_t decoded = decodeTime(*packet);
      if ((isKey(*packet) && reader_.toTicks(shown) <= start_) || decoded == previousDecodeTime)
        return std::nullopt;
      previousDecodeTime = decoded;
      target = std::min(shown, decoded) - 1;
    }
    return std::nullopt;
  }

  // Frames before the first copied key frame come out in presentation
  // order; each is kept once the next one shows that it reaches past the
  // trim start.
  std::optional<ExportFailure> decodeHead(const AVPacket* packet) {
    return decode(*decoder_, packet, reader_.file(), [&](FramePtr frame) {
      std::int64_t shown = reader_.toTicks(frame->best_effort_timestamp);
      if (shown >= end_)
        return std::optional<ExportFailure>();
      if (pending_ && shown > start_) {
        if (auto failure = encodeFrame(pending_.get(), pendingTime_))
          return failure;
      }
      pending_ = std::move(frame);
      pendingTime_ = shown;
      return std::optional<ExportFailure>();
    });
  }

  std::optional<ExportFailure> encodeFrame(const AVFrame* frame, std::int64_t shown) {
    wrote_ = true;
    return encoder_.encode(frame, segmentTime(shown));
  }

  std::optional<ExportFailure> copy(PacketPtr packet) {
    std::int64_t shown = reader_.toTicks(presentationTime(*packet));
    std::int64_t decoded = reader_.toTicks(decodeTime(*packet));
    CutSample sample;
    sample.time = wrote_ ? segmentTime(shown) : 0;
    sample.reorder = shown - decoded;
    sample.sync = isKey(*packet);
    sample.packet = std::move(packet);
    wrote_ = true;
    copiedTimes_.insert(shown);
    return sink_(std::move(sample));
  }

  // Copied packets go to the sink; the packets since the last key frame are
  // kept as references for decoding frames that cannot be copied.
  std::optional<ExportFailure> copyFrom(PacketPtr key) {
    std::vector<PacketPtr> sinceKey; // for decoding what cannot be copied
    sinceKey.push_back(PacketPtr(av_packet_clone(key.get())));
    if (auto failure = copy(std::move(key)))
      return failure;
    std::vector<PacketPtr> after; // decoded after the first frame shown at or after the end
    bool copying = true;
    PacketPtr packet;
    for (;;) {
      if (auto failure = reader_.read(packet))
        return failure;
      if (!packet)
        break;
      std::int64_t shown = reader_.toTicks(presentationTime(*packet));
      if (copying && shown < end_) {
        if (isKey(*packet))
          sinceKey.clear();
        sinceKey.push_back(PacketPtr(av_packet_clone(packet.get())));
        if (auto failure = copy(std::move(packet)))
          return failure;
        continue;
      }
      copying = false;
      if (reader_.toTicks(decodeTime(*packet)) >= end_)
        break;
      after.push_back(std::move(packet));
    }
    bool tail = std::any_of(after.begin(), after.end(), [&](const PacketPtr& later) {
      return reader_.toTicks(presentationTime(*later)) < end_;
    });
    if (!tail)
      return std::nullopt;
    // Frames shown before the end that refer to one shown after it.
    avcodec_flush_buffers(decoder_.get());
    auto took = [&](FramePtr frame) {
      std::int64_t shown = reader_.toTicks(frame->best_effort_timestamp);
      if (shown >= end_ || copiedTimes_.count(shown))
        return std::optional<ExportFailure>();
      return encodeFrame(frame.get(), shown);
    };
    for (const std::vector<PacketPtr>* run : {&sinceKey, &after}) {
      for (const PacketPtr& held : *run) {
        if (auto failure = decode(*decoder_, held.get(), reader_.file(), took))
          return failure;
      }
    }
    if (auto failure = decode(*decoder_, nullptr, reader_.file(), took))
      return failure;
    return encoder_.finish();
  }

  StreamReader& reader_;
  int width_; // the movie's picture
  int height_;
  int threads_;        // of the decoder and of the encoder
  std::int64_t start_; // take time, ticks
  std::int64_t end_;
  const SampleSink& sink_;
  FrameEncoder encoder_;
  CodecPtr decoder_;
  FramePtr pending_;
  std::int64_t pendingTime_ = 0;
  bool wrote_ = false;
  std::set<std::int64_t> copiedTimes_;
};

// One segment's video, made on a thread of its own: while the movie takes
// one segment's samples, the next segment's frames are decoded and encoded
// already, so two takes' frames are worked on at once. The samples wait in
// a queue of bounded size.
class CutJob {
public:
  // movieSets: the parameter sets of the movie's first take, which frames
  // re-encoded at the movie's size should share where the take's own
  // frames are not copied.
  CutJob(fs::path file, std::int64_t start, std::int64_t end, int width, int height, int threads,
         std::optional<AvcParameterSets> movieSets)
      : file_(std::move(file)), start_(start), end_(end), width_(width), height_(height),
        threads_(threads), movieSets_(std::move(movieSets)) {
    thread_ = std::thread([this] { run(); });
  }

  ~CutJob() {
    {
      std::lock_guard lock(mutex_);
      cancelled_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  CutJob(const CutJob&) = delete;
  CutJob& operator=(const CutJob&) = delete;

  // The next sample; nothing once the segment is complete or has failed.
  std::optional<ExportFailure> next(std::optional<CutSample>& sample) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !queue_.empty() || finished_; });
    if (queue_.empty()) {
      sample.reset();
      return failure_;
    }
    sample = std::move(queue_.front());
    queue_.pop_front();
    queuedBytes_ -= sample->size();
    lock.unlock();
    changed_.notify_all();
    return std::nullopt;
  }

  const fs::path& file() const { return file_; }
  // The take's sample format: set before its first copied sample is queued.
  const TrackFormat& takeFormat() const { return takeFormat_; }
  // The re-encoded frames' sample format: set before the first of them is
  // queued.
  const TrackFormat& encodedFormat() const { return encodedFormat_; }
  // Frames encoded: final once next() has found the end.
  std::int64_t reencodedFrames() const { return reencoded_; }

private:
  static constexpr std::size_t kQueueBytes = 32 << 20;
  static constexpr std::size_t kQueueSamples = 4096;

  void run() {
    std::optional<ExportFailure> failure = cut();
    std::lock_guard lock(mutex_);
    failure_ = std::move(failure);
    finished_ = true;
    changed_.notify_all();
  }

  std::optional<ExportFailure> cut() {
    SampleSink sink = [this](CutSample sample) { return push(std::move(sample)); };
    StreamReader reader;
    if (auto failure = reader.open(file_, AVMEDIA_TYPE_VIDEO))
      return failure;
    if (!reader.hasStream()) {
      FrameEncoder black(width_, height_, threads_, movieSets_, encodedFormat_, file_, sink);
      auto failure = black.encode(nullptr, 0);
      if (!failure)
        failure = black.finish();
      reencoded_ = black.encodedFrames();
      return failure;
    }
    takeFormat_ = takeVideoFormat(reader.codec());
    std::optional<AvcParameterSets> match = movieSets_;
    if (copyableVideo(reader.codec(), width_, height_))
      match = parseAvcConfig(takeFormat_.config);
    VideoCut cut(reader, width_, height_, threads_, start_, end_, std::move(match), encodedFormat_,
                 sink);
    auto failure = cut.run();
    reencoded_ = cut.reencodedFrames();
    return failure;
  }

  std::optional<ExportFailure> push(CutSample sample) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] {
      return cancelled_ || (queuedBytes_ < kQueueBytes && queue_.size() < kQueueSamples);
    });
    if (cancelled_)
      return ExportFailure::platform("cancelled");
    queuedBytes_ += sample.size();
    queue_.push_back(std::move(sample));
    lock.unlock();
    changed_.notify_all();
    return std::nullopt;
  }

  fs::path file_;
  std::int64_t start_; // take time, ticks
  std::int64_t end_;
  int width_;
  int height_;
  int threads_;
  std::optional<AvcParameterSets> movieSets_;
  TrackFormat takeFormat_;
  TrackFormat encodedFormat_;
  std::int64_t reencoded_ = 0;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<CutSample> queue_;
  std::size_t queuedBytes_ = 0;
  bool finished_ = false;
  bool cancelled_ = false;
  std::optional<ExportFailure> failure_;
  std::thread thread_; // last: starts once everything else is made
};

// A take's trim range in take time, ticks.
std::pair<std::int64_t, std::int64_t> segmentRange(const Take& take) {
  std::int64_t start = std::max<std::int64_t>(0, toMovieTime(take.trimStart)) * kTicksPerMovieUnit;
  std::int64_t end = toMovieTime(take.trimEnd) * kTicksPerMovieUnit;
  return {start, end};
}

// Takes whose video is made at once: each take's decoding and encoding
// keeps about one core busy, and one take may be done while the one before
// is still at work.
constexpr std::size_t kCutsAtOnce = 3;

// Builds the movie take by take.
class MovieJoiner {
public:
  MovieJoiner() : video_(TrackKind::video, kVideoTimescale), audio_(TrackKind::audio, kAudioRate) {}

  std::error_code start(int fd) { return writer_.start(fd); }

  // Appends the take's trim range; its video (for a movie with pictures)
  // comes from video.
  std::optional<ExportFailure> append(const Take& take, const fs::path& file, CutJob* video);

  bool isEmpty() const { return cursor_ == 0; }

  std::error_code finish() {
    // The sound never runs past the picture: a packet that would is left out.
    while (!pendingAudio_.empty() && (pendingAudio_.back().index + 1) * kTicksPerAacFrame > cursor_)
      pendingAudio_.pop_back();
    audioLimit_ = std::numeric_limits<std::int64_t>::max();
    if (auto failure = flushAudio(std::numeric_limits<std::int64_t>::max()))
      return std::make_error_code(std::errc::io_error);
    if (!video_.samples().empty())
      video_.setLastSampleDuration(std::max<std::int64_t>(1, cursor_ - lastDecodeTime_));
    audio_.setLastSampleDuration(kAacFrame);
    return writer_.finish({&video_, &audio_});
  }

  // Frames encoded so far.
  std::int64_t reencodedFrames() const { return reencoded_; }

private:
  struct AudioPacket {
    std::int64_t index = 0; // position in the movie's grid of AAC packets
    Bytes bytes;
  };

  // Video samples: decode times are kept as close as the order of decoding
  // allows to composition time minus the source's own reordering delay,
  // never before the previous sample's, never after the sample's own
  // composition time, so no edit list is needed to show frames on time.
  std::optional<ExportFailure> writeVideo(const std::uint8_t* data, std::size_t size,
                                          std::int64_t compositionTime, std::int64_t reorder,
                                          bool sync, std::uint32_t description,
                                          const fs::path& file) {
    if (auto failure = flushAudio(compositionTime + kInterleaveTicks))
      return failure;
    std::optional<std::int64_t> previous;
    if (!video_.samples().empty())
      previous = lastDecodeTime_;
    std::optional<std::int64_t> decodeTime = decodeTimeFor(compositionTime, reorder, previous);
    std::int64_t offset = decodeTime ? compositionTime - *decodeTime : -1;
    if (offset < 0 || offset > std::numeric_limits<std::int32_t>::max())
      return fileFailure(file, "frame timing out of range");
    // Some players (Chromium's) decode every sample with the parameter sets
    // of the track's first description: the first sample after a change
    // of description carries its parameter sets in the stream as well.
    Bytes withSets;
    if (!video_.samples().empty() && description != lastDescription_) {
      withSets = parameterSetsOf(description);
      withSets.insert(withSets.end(), data, data + size);
      data = withSets.data();
      size = withSets.size();
    }
    std::error_code error =
        writer_.writeSample(video_, data, size, *decodeTime, static_cast<std::int32_t>(offset),
                            sync, description, false);
    if (error)
      return ExportFailure::platform(error.message());
    lastDecodeTime_ = *decodeTime;
    lastDescription_ = description;
    return std::nullopt;
  }

  // The sequence and picture parameter sets of a video description as NAL
  // units of a sample.
  Bytes parameterSetsOf(std::uint32_t description) const {
    Bytes units;
    std::optional<AvcParameterSets> sets =
        parseAvcConfig(video_.descriptions().at(description - 1).config);
    if (!sets)
      return units;
    for (const std::vector<Bytes>* group : {&sets->sequence, &sets->picture}) {
      for (const Bytes& unit : *group) {
        for (int i = sets->lengthSize - 1; i >= 0; --i)
          units.push_back(static_cast<std::uint8_t>(unit.size() >> (8 * i)));
        units.insert(units.end(), unit.begin(), unit.end());
      }
    }
    return units;
  }

  std::optional<ExportFailure> flushAudio(std::int64_t untilTicks) {
    while (!pendingAudio_.empty()) {
      const AudioPacket& packet = pendingAudio_.front();
      if (packet.index * kTicksPerAacFrame >= untilTicks ||
          (packet.index + 1) * kTicksPerAacFrame > audioLimit_)
        return std::nullopt;
      std::error_code error =
          writer_.writeSample(audio_, packet.bytes.data(), packet.bytes.size(),
                              packet.index * kAacFrame, 0, true, audioDescription_, false);
      if (error)
        return ExportFailure::platform(error.message());
      pendingAudio_.pop_front();
    }
    return std::nullopt;
  }

  // The description for samples of our own encoder: one of the takes'
  // when the parameter sets are the same.
  std::uint32_t videoDescription(const TrackFormat& format) {
    std::optional<AvcParameterSets> sets = parseAvcConfig(format.config);
    const std::vector<TrackFormat>& known = video_.descriptions();
    for (std::size_t i = 0; i < known.size(); ++i) {
      const TrackFormat& other = known[i];
      bool sameFrame = other.width == format.width && other.height == format.height &&
                       other.colourPrimaries == format.colourPrimaries &&
                       other.transfer == format.transfer && other.matrix == format.matrix &&
                       other.fullRange == format.fullRange;
      if (sameFrame && sets && parseAvcConfig(other.config) == sets)
        return static_cast<std::uint32_t>(i + 1);
    }
    return video_.descriptionFor(format);
  }

  std::optional<ExportFailure> prepareAudioEncoder(const fs::path& file);
  std::optional<ExportFailure> writeCut(CutJob& cut, std::int64_t movieStart);
  std::optional<ExportFailure> appendAudio(StreamReader& reader, std::int64_t start,
                                           std::int64_t movieStart, std::int64_t movieEnd);
  std::optional<ExportFailure> copyAudio(StreamReader& reader, std::int64_t sourceStart,
                                         std::int64_t first, std::int64_t count);
  std::optional<ExportFailure> convertAudio(StreamReader* reader, std::int64_t sourceStart,
                                            std::int64_t first, std::int64_t count);

  QuickTimeWriter writer_;
  MovieTrack video_;
  MovieTrack audio_;
  std::int64_t cursor_ = 0; // movie time (ticks) where the next segment starts
  std::int64_t lastDecodeTime_ = 0;
  std::uint32_t lastDescription_ = 0;
  std::int64_t reencoded_ = 0;
  // The sound encoder's sample format, known once the first take is appended.
  bool encodersReady_ = false;
  Bytes audioConfig_;
  std::uint32_t audioDescription_ = 0;
  std::deque<AudioPacket> pendingAudio_;
  std::int64_t audioLimit_ = 0; // packets ending after this wait for the next segment
};

std::optional<ExportFailure> MovieJoiner::prepareAudioEncoder(const fs::path& file) {
  if (encodersReady_)
    return std::nullopt;
  CodecPtr audio = openAudioEncoder();
  if (!audio)
    return fileFailure(file, "the AAC encoder could not be opened");
  audioConfig_.assign(audio->extradata, audio->extradata + std::max(0, audio->extradata_size));
  TrackFormat format;
  format.kind = TrackKind::audio;
  format.sampleRate = kAudioRate;
  format.channels = kAudioChannels;
  format.config = audioConfig_;
  audioDescription_ = audio_.descriptionFor(format);
  encodersReady_ = true;
  return std::nullopt;
}

// The segment's sound is a run of whole AAC packets on the movie's packet
// grid (see packetRunFor), starting with the take's packet boundary nearest
// to where the grid puts the segment's first packet.
std::optional<ExportFailure> MovieJoiner::appendAudio(StreamReader& reader, std::int64_t start,
                                                      std::int64_t movieStart,
                                                      std::int64_t movieEnd) {
  PacketRun run = packetRunFor(movieStart, movieEnd, kTicksPerAacFrame);
  std::int64_t first = run.first;
  std::int64_t last = run.first + run.count;
  audioLimit_ = movieEnd;
  if (run.count == 0)
    return std::nullopt;
  // Take time (ticks) that the first packet of the grid should hold.
  std::int64_t sourceStart = start + first * kTicksPerAacFrame - movieStart;
  if (!reader.hasStream())
    return convertAudio(nullptr, sourceStart, first, last - first);
  const AVCodecParameters& codec = reader.codec();
  bool copyable =
      codec.codec_id == AV_CODEC_ID_AAC && codec.sample_rate == kAudioRate &&
      codec.ch_layout.nb_channels == kAudioChannels &&
      Bytes(codec.extradata, codec.extradata + std::max(0, codec.extradata_size)) == audioConfig_;
  if (copyable)
    return copyAudio(reader, sourceStart, first, last - first);
  return convertAudio(&reader, sourceStart, first, last - first);
}

std::optional<ExportFailure> MovieJoiner::copyAudio(StreamReader& reader, std::int64_t sourceStart,
                                                    std::int64_t first, std::int64_t count) {
  // The take's packets around the range, by presentation time in ticks.
  std::vector<std::pair<std::int64_t, PacketPtr>> packets;
  if (auto failure = reader.seekBefore(reader.fromTicks(sourceStart - 2 * kTicksPerAacFrame)))
    return failure;
  std::int64_t stop = sourceStart + (count + 1) * kTicksPerAacFrame;
  for (;;) {
    PacketPtr packet;
    if (auto failure = reader.read(packet))
      return failure;
    if (!packet)
      break;
    std::int64_t shown = reader.toTicks(presentationTime(*packet));
    if (shown >= stop)
      break;
    if (shown + kTicksPerAacFrame > sourceStart - kTicksPerAacFrame)
      packets.emplace_back(shown, std::move(packet));
  }
  if (packets.empty())
    return convertAudio(nullptr, sourceStart, first, count);
  // The take's packet boundary nearest to where the segment's sound starts.
  std::int64_t anchor = packets.front().first;
  for (const auto& [shown, packet] : packets) {
    if (std::llabs(shown - sourceStart) < std::llabs(anchor - sourceStart))
      anchor = shown;
  }
  std::optional<Bytes> silence;
  std::size_t at = 0;
  for (std::int64_t i = 0; i < count; ++i) {
    std::int64_t wanted = anchor + i * kTicksPerAacFrame;
    while (at < packets.size() && packets[at].first < wanted - kTicksPerAacFrame / 2)
      ++at;
    AudioPacket out;
    out.index = first + i;
    if (at < packets.size() && packets[at].first < wanted + kTicksPerAacFrame / 2) {
      const AVPacket& packet = *packets[at].second;
      out.bytes.assign(packet.data, packet.data + packet.size);
    } else {
      // The take's sound starts late or ends early: silence.
      if (!silence) {
        std::size_t before = pendingAudio_.size();
        if (auto failure = convertAudio(nullptr, 0, 0, 1))
          return failure;
        silence = std::move(pendingAudio_.back().bytes);
        pendingAudio_.resize(before);
      }
      out.bytes = *silence;
    }
    pendingAudio_.push_back(std::move(out));
  }
  return std::nullopt;
}

// Decodes the take's sound (or none: silence), converts it to the movie's
// 48 kHz stereo and encodes count packets that start at sourceStart.
std::optional<ExportFailure> MovieJoiner::convertAudio(StreamReader* reader,
                                                       std::int64_t sourceStart, std::int64_t first,
                                                       std::int64_t count) {
  const std::size_t length = static_cast<std::size_t>(count) * kAacFrame;
  std::vector<float> channels[kAudioChannels];
  for (std::vector<float>& channel : channels)
    channel.assign(length, 0.0f);

  if (reader) {
    CodecPtr decoder;
    if (auto failure = openDecoder(*reader, decoder))
      return failure;
    if (auto failure = reader->seekBefore(reader->fromTicks(sourceStart - kVideoTimescale / 10)))
      return failure;
    AVChannelLayout stereo;
    av_channel_layout_default(&stereo, kAudioChannels);
    ResamplerPtr resampler;
    std::int64_t position = 0; // next output sample, relative to sourceStart
    bool placed = false;
    std::int64_t stop = sourceStart + count * kTicksPerAacFrame + kVideoTimescale / 10;
    auto took = [&](FramePtr frame) -> std::optional<ExportFailure> {
      if (!resampler) {
        SwrContext* raw = nullptr;
        if (swr_alloc_set_opts2(&raw, &stereo, AV_SAMPLE_FMT_FLTP, kAudioRate, &frame->ch_layout,
                                static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0,
                                nullptr) < 0 ||
            swr_init(raw) < 0) {
          swr_free(&raw);
          return fileFailure(reader->file(), "the sound cannot be converted");
        }
        resampler.reset(raw);
      }
      if (!placed && frame->best_effort_timestamp != AV_NOPTS_VALUE) {
        std::int64_t shown = reader->toTicks(frame->best_effort_timestamp);
        position = av_rescale(shown - sourceStart, kAudioRate, kVideoTimescale);
        placed = true;
      }
      int room = swr_get_out_samples(resampler.get(), frame->nb_samples);
      std::vector<float> out[kAudioChannels];
      std::uint8_t* planes[kAudioChannels];
      for (int c = 0; c < kAudioChannels; ++c) {
        out[c].resize(static_cast<std::size_t>(std::max(room, 0)));
        planes[c] = reinterpret_cast<std::uint8_t*>(out[c].data());
      }
      int made =
          swr_convert(resampler.get(), planes, room,
                      const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples);
      for (int i = 0; i < made; ++i, ++position) {
        if (position < 0 || position >= static_cast<std::int64_t>(length))
          continue;
        for (int c = 0; c < kAudioChannels; ++c)
          channels[c][static_cast<std::size_t>(position)] = out[c][static_cast<std::size_t>(i)];
      }
      return std::nullopt;
    };
    PacketPtr packet;
    for (;;) {
      if (auto failure = reader->read(packet))
        return failure;
      if (!packet || reader->toTicks(presentationTime(*packet)) >= stop)
        break;
      if (auto failure = decode(*decoder, packet.get(), reader->file(), took))
        return failure;
    }
    if (auto failure = decode(*decoder, nullptr, reader->file(), took))
      return failure;
  }

  CodecPtr encoder = openAudioEncoder();
  if (!encoder)
    return ExportFailure::platform("the AAC encoder could not be opened");
  std::vector<Bytes> packets(static_cast<std::size_t>(count));
  auto drain = [&]() -> std::optional<ExportFailure> {
    for (;;) {
      PacketPtr packet = makePacket();
      int result = avcodec_receive_packet(encoder.get(), packet.get());
      if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
        return std::nullopt;
      if (result < 0)
        return ExportFailure::platform(avErrorText(result));
      // The encoder's first packet is its priming, before time zero.
      if (packet->pts < 0 || packet->pts % kAacFrame != 0)
        continue;
      std::int64_t index = packet->pts / kAacFrame;
      if (index < count)
        packets[static_cast<std::size_t>(index)].assign(packet->data, packet->data + packet->size);
    }
  };
  // One frame past the end, so the last wanted packet has its overlap.
  for (std::int64_t i = 0; i <= count; ++i) {
    FramePtr frame(av_frame_alloc());
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->sample_rate = kAudioRate;
    av_channel_layout_default(&frame->ch_layout, kAudioChannels);
    frame->nb_samples = kAacFrame;
    if (av_frame_get_buffer(frame.get(), 0) < 0)
      return ExportFailure::platform(avErrorText(AVERROR(ENOMEM)));
    for (int c = 0; c < kAudioChannels; ++c) {
      auto* samples = reinterpret_cast<float*>(frame->data[c]);
      for (int s = 0; s < kAacFrame; ++s) {
        std::size_t at = static_cast<std::size_t>(i * kAacFrame + s);
        samples[s] = at < length ? channels[c][at] : 0.0f;
      }
    }
    frame->pts = i * kAacFrame;
    if (int result = avcodec_send_frame(encoder.get(), frame.get()); result < 0)
      return ExportFailure::platform(avErrorText(result));
    if (auto failure = drain())
      return failure;
  }
  avcodec_send_frame(encoder.get(), nullptr);
  if (auto failure = drain())
    return failure;
  for (std::int64_t i = 0; i < count; ++i) {
    AudioPacket out;
    out.index = first + i;
    out.bytes = std::move(packets[static_cast<std::size_t>(i)]);
    if (out.bytes.empty())
      return ExportFailure::platform("the AAC encoder returned too few packets");
    pendingAudio_.push_back(std::move(out));
  }
  return std::nullopt;
}

std::optional<ExportFailure> MovieJoiner::append(const Take& take, const fs::path& file,
                                                 CutJob* video) {
  auto [start, end] = segmentRange(take);
  StreamReader audioReader;
  if (auto failure = audioReader.open(file, AVMEDIA_TYPE_AUDIO))
    return failure;
  if (end <= start)
    return std::nullopt;
  if (auto failure = prepareAudioEncoder(file))
    return failure;

  std::int64_t movieStart = cursor_;
  std::int64_t movieEnd = cursor_ + (end - start);
  if (auto failure = appendAudio(audioReader, start, movieStart, movieEnd))
    return failure;
  if (video) {
    if (auto failure = writeCut(*video, movieStart))
      return failure;
  }
  cursor_ = movieEnd;
  return std::nullopt;
}

std::optional<ExportFailure> MovieJoiner::writeCut(CutJob& cut, std::int64_t movieStart) {
  // Descriptions are added as their first sample comes: a take whose
  // frames are all re-encoded adds none of its own.
  std::optional<std::uint32_t> encodedDescription;
  std::optional<std::uint32_t> takeDescription;
  for (;;) {
    std::optional<CutSample> sample;
    if (auto failure = cut.next(sample))
      return failure;
    if (!sample)
      break;
    std::optional<std::uint32_t>& description =
        sample->encoded ? encodedDescription : takeDescription;
    if (!description)
      description = videoDescription(sample->encoded ? cut.encodedFormat() : cut.takeFormat());
    if (auto failure = writeVideo(sample->data(), sample->size(), movieStart + sample->time,
                                  sample->reorder, sample->sync, *description, cut.file()))
      return failure;
  }
  reencoded_ += cut.reencodedFrames();
  return std::nullopt;
}

// The movie's picture: the size and parameter sets of the first take that
// has video; a size of zero when none has.
struct MoviePicture {
  int width = 0;
  int height = 0;
  std::optional<AvcParameterSets> sets;
};

MoviePicture moviePicture(const std::vector<Take>& takes, const fs::path& takesDirectory) {
  for (const Take& take : takes) {
    StreamReader reader;
    if (reader.open(takesDirectory / take.filename, AVMEDIA_TYPE_VIDEO) || !reader.hasStream())
      continue;
    const AVCodecParameters& codec = reader.codec();
    if (codec.width <= 0 || codec.height <= 0)
      continue;
    MoviePicture picture;
    picture.width = codec.width;
    picture.height = codec.height;
    if (codec.codec_id == AV_CODEC_ID_H264)
      picture.sets = parseAvcConfig(takeVideoFormat(codec).config);
    return picture;
  }
  return {};
}

} // namespace

std::optional<ExportFailure> exportMovie(const std::vector<Take>& takes,
                                         const fs::path& takesDirectory,
                                         const fs::path& destinationPath,
                                         ExportStatistics* statistics) {
  std::error_code error;
  fs::path destination = fs::absolute(destinationPath, error);
  if (error)
    return fileFailure(destinationPath, error.message());
  if (auto refused = checkExportDestination(takes, takesDirectory, destination))
    return refused;
  for (const Take& take : takes) {
    if (!isPlainTakeFilename(take.filename))
      return fileFailure(take.filename, "not a file of the session's takes folder");
  }

  // x264 and the AAC encoder print statistics for every run otherwise.
  if (av_log_get_level() > AV_LOG_WARNING)
    av_log_set_level(AV_LOG_WARNING);
  // The movie replaces destination only once it is complete; a killed
  // export leaves no partial movie behind.
  ReplacementFile output;
  if (std::error_code created = output.create(destination))
    return fileFailure(destination, created.message());
  std::optional<ExportFailure> failure;
  {
    MovieJoiner joiner;
    if (std::error_code started = joiner.start(output.descriptor()))
      return fileFailure(destination, started.message());
    MoviePicture picture = moviePicture(takes, takesDirectory);
    // The videos of the next few takes are made while one is joined.
    // Where several are made at once they fill the cores, and decoders
    // and encoders of one thread each spend less on keeping in step.
    auto hasVideo = [&](const Take& take) {
      auto [start, end] = segmentRange(take);
      return picture.width > 0 && end > start;
    };
    int threads = std::count_if(takes.begin(), takes.end(), hasVideo) > 1 ? 1 : kTakeThreads;
    auto startCut = [&](std::size_t index) -> std::unique_ptr<CutJob> {
      if (!hasVideo(takes[index]))
        return nullptr;
      auto [start, end] = segmentRange(takes[index]);
      return std::make_unique<CutJob>(takesDirectory / takes[index].filename, start, end,
                                      picture.width, picture.height, threads, picture.sets);
    };
    std::deque<std::unique_ptr<CutJob>> cuts; // of takes i, i + 1...
    std::size_t started = 0;
    for (std::size_t i = 0; i < takes.size(); ++i) {
      const Take& take = takes[i];
      for (; started < takes.size() && started < i + kCutsAtOnce; ++started)
        cuts.push_back(startCut(started));
      std::unique_ptr<CutJob> current = std::move(cuts.front());
      cuts.pop_front();
      std::int64_t before = joiner.reencodedFrames();
      failure = joiner.append(take, takesDirectory / take.filename, current.get());
      if (failure)
        break;
      if (statistics)
        statistics->reencodedFrames.push_back(joiner.reencodedFrames() - before);
    }
    if (!failure && joiner.isEmpty())
      failure = ExportFailure::own(ExportError::exportFailed);
    if (!failure) {
      if (std::error_code finished = joiner.finish())
        failure = fileFailure(destination, finished.message());
    }
  }
  if (failure)
    return failure;
  if (std::error_code committed = output.commit())
    return fileFailure(destination, committed.message());
  return std::nullopt;
}

FfmpegSessionExporter::~FfmpegSessionExporter() {
  std::lock_guard lock(mutex_);
  for (auto& worker : workers_)
    worker->thread.join();
}

void FfmpegSessionExporter::startWorker(std::function<void()> work) {
  std::lock_guard lock(mutex_);
  for (auto it = workers_.begin(); it != workers_.end();) {
    if ((*it)->finished) {
      (*it)->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
  auto worker = std::make_unique<Worker>();
  Worker* raw = worker.get();
  raw->thread = std::thread([raw, work = std::move(work)] {
    work();
    raw->finished = true;
  });
  workers_.push_back(std::move(worker));
}

Task<std::optional<ExportFailure>> FfmpegSessionExporter::exportTakes(std::vector<Take> takes,
                                                                      fs::path takesDirectory,
                                                                      fs::path destination) {
  using Result = std::optional<ExportFailure>;
  // The awaiter is a named local: GCC 12 destroys the captures of a lambda
  // temporary inside a co_await expression twice.
  CallbackAwaiter<Result> exported(
      loop_, [this, takes = std::move(takes), takesDirectory = std::move(takesDirectory),
              destination = std::move(destination)](std::function<void(Result)> done) {
        startWorker([=] { done(exportMovie(takes, takesDirectory, destination)); });
      });
  Result result = co_await exported;
  co_return result;
}

} // namespace vidorel
