#include "export/ffmpeg_video_cut.h"

#include "export/ffmpeg_letterbox.h"
#include "export/ffmpeg_take_reader.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstring>
#include <limits>
#include <set>
#include <vector>

namespace vidorel::exporting {

namespace {

// The parameter sets of an encoder's global header.
AvcParameterSets encoderParameterSets(const AVCodecContext& encoder) {
  return parameterSetsFromAnnexB(encoder.extradata,
                                 static_cast<std::size_t>(std::max(0, encoder.extradata_size)));
}

// Whether two decoded pictures are the same, pixel for pixel.
bool samePicture(const AVFrame& a, const AVFrame& b) {
  if (a.format != b.format || a.width != b.width || a.height != b.height)
    return false;
  auto format = static_cast<AVPixelFormat>(a.format);
  const AVPixFmtDescriptor* layout = av_pix_fmt_desc_get(format);
  if (!layout || (layout->flags & AV_PIX_FMT_FLAG_HWACCEL))
    return false;
  for (int plane = 0; plane < av_pix_fmt_count_planes(format); ++plane) {
    int bytes = av_image_get_linesize(format, a.width, plane);
    bool chroma = plane == 1 || plane == 2;
    int rows = chroma ? AV_CEIL_RSHIFT(a.height, layout->log2_chroma_h) : a.height;
    for (int y = 0; y < rows; ++y) {
      if (bytes < 0 ||
          std::memcmp(a.data[plane] + static_cast<std::ptrdiff_t>(y) * a.linesize[plane],
                      b.data[plane] + static_cast<std::ptrdiff_t>(y) * b.linesize[plane],
                      static_cast<std::size_t>(bytes)) != 0)
        return false;
    }
  }
  return true;
}

// The video encoder for re-encoded frames: the take writer's settings, so
// that their parameter sets equal those of the takes it wrote and the movie
// keeps one sample description. Takes with stitchable headers have
// parameter sets that do not depend on the rate control, so their frames
// are re-encoded at a constant quantiser; takes written before that carry
// the rate factor's initial quantiser in their picture parameter set, and
// theirs are re-encoded at the same rate factor, capped.
CodecPtr openVideoEncoder(int width, int height, int threads, TakeRateControl rateControl) {
  TakeVideoEncoding encoding;
  encoding.width = width;
  encoding.height = height;
  encoding.threads = threads;
  encoding.rateControl = rateControl;
  encoding.stitchableHeaders = rateControl == TakeRateControl::constantQuantiser;
  return openTakeVideoEncoder(encoding);
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
    // A picture the same as the one before it in the run (a repeat of a
    // constant-rate take) is not encoded again: the movie's grid repeats
    // it as skip frames, or the picture before simply lasts longer.
    if (encoder_ && source && last_ && samePicture(*source, *last_))
      return std::nullopt;
    if (!encoder_) {
      if (auto failure = open())
        return failure;
    }
    last_.reset(source ? av_frame_clone(source) : nullptr);
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
    last_.reset();
    return failure;
  }

  std::int64_t encodedFrames() const { return encoded_; }

private:
  std::optional<ExportFailure> open() {
    if (settings_) {
      encoder_ = openVideoEncoder(width_, height_, threads_, *settings_);
    } else {
      encoder_ = openVideoEncoder(width_, height_, threads_, TakeRateControl::constantQuantiser);
      settings_ = TakeRateControl::constantQuantiser;
      if (encoder_ && match_ && encoderParameterSets(*encoder_) != *match_) {
        CodecPtr other =
            openVideoEncoder(width_, height_, threads_, TakeRateControl::cappedRateFactor);
        if (other && encoderParameterSets(*other) == *match_) {
          encoder_ = std::move(other);
          settings_ = TakeRateControl::cappedRateFactor;
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
  std::optional<TakeRateControl> settings_;
  fs::path file_;
  const SampleSink& sink_;
  Letterbox letterbox_;
  CodecPtr encoder_;
  FramePtr last_; // the source of the run's last encoded picture
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

} // namespace

std::optional<ExportFailure> CutJob::cut() {
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

} // namespace vidorel::exporting
