#pragma once

// Reading a take for an export: each stream on its own demuxer, its
// decoder, and the sample formats the movie takes from it.

#include "base/files.h"
#include "capture/avc_config.h"
#include "capture/ffmpeg_handles.h"
#include "capture/ffmpeg_take_encoders.h"
#include "export/export_error.h"
#include "export/quicktime_writer.h"

#include <filesystem>
#include <optional>
#include <string>

namespace vidorel::exporting {

namespace fs = std::filesystem;

// The movie's video track counts in 1/90000 s: trim points (1/600 s) and
// AAC packets at 48 kHz (1920 ticks) fall on whole ticks.
inline constexpr int kVideoTimescale = 90000;
inline constexpr AVRational kVideoTime = {1, kVideoTimescale};
inline constexpr std::int64_t kTicksPerMovieUnit = kVideoTimescale / kMovieTimescale;
inline constexpr int kAudioRate = kTakeAudioRate;
inline constexpr int kAudioChannels = kTakeAudioChannels;
inline constexpr int kAacFrame = 1024;
inline constexpr std::int64_t kTicksPerAacFrame =
    std::int64_t{kAacFrame} * kVideoTimescale / kAudioRate;
// Audio and video are interleaved in the file in runs of this length, so a
// player reading the movie in order finds both close together.
inline constexpr std::int64_t kInterleaveTicks = kVideoTimescale / 2;
inline ExportFailure fileFailure(const fs::path& file, const std::string& text) {
  return ExportFailure::platform(file.string() + ": " + text);
}

inline std::int64_t presentationTime(const AVPacket& packet) {
  return packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
}

inline std::int64_t decodeTime(const AVPacket& packet) {
  return packet.dts != AV_NOPTS_VALUE ? packet.dts : packet.pts;
}

inline bool isKey(const AVPacket& packet) {
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
                                         int threads = kTakeThreads);

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

TrackFormat videoFormat(int width, int height, Bytes config);

// The sample format of a take's H.264 stream; its colour description is
// the take writer's (BT.709, limited range) where the take states none.
TrackFormat takeVideoFormat(const AVCodecParameters& codec);

// Whether the take's H.264 packets can be copied into a movie of this size.
bool copyableVideo(const AVCodecParameters& codec, int width, int height);

} // namespace vidorel::exporting
