#include "export/ffmpeg_session_exporter.h"

#include "base/files.h"
#include "export/quicktime_writer.h"
#include "export/segment_edits.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

#include <algorithm>
#include <deque>
#include <limits>

namespace vidorel {
namespace fs = std::filesystem;

namespace {

constexpr AVRational kMovieTimeBase = {1, static_cast<int>(kMovieTimescale)};
// Audio and video are interleaved in the file in runs of this length, so a
// player reading the movie in order finds both close together.
constexpr double kInterleaveSeconds = 0.5;

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

PacketPtr makePacket() {
  return PacketPtr(av_packet_alloc());
}

std::int64_t presentationTime(const AVPacket& packet) {
  return packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
}

std::int64_t decodeTime(const AVPacket& packet) {
  return packet.dts != AV_NOPTS_VALUE ? packet.dts : packet.pts;
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
  const fs::path& file() const { return file_; }

  std::optional<ExportFailure> seekBefore(std::int64_t timestamp) {
    int result = av_seek_frame(format_, stream_->index, timestamp, AVSEEK_FLAG_BACKWARD);
    if (result < 0)
      return fileFailure(file_, avErrorText(result));
    return std::nullopt;
  }

  // The stream's next packet: true with one, false at the end.
  std::optional<ExportFailure> read(AVPacket* packet, bool& got) {
    got = false;
    for (;;) {
      av_packet_unref(packet);
      int result = av_read_frame(format_, packet);
      if (result == AVERROR_EOF)
        return std::nullopt;
      if (result < 0)
        return fileFailure(file_, avErrorText(result));
      if (packet->stream_index == stream_->index) {
        got = true;
        return std::nullopt;
      }
    }
  }

private:
  fs::path file_;
  AVFormatContext* format_ = nullptr;
  AVStream* stream_ = nullptr;
};

std::optional<ExportFailure> sampleFormat(const StreamReader& reader, SampleFormat& format) {
  const AVCodecParameters& codec = *reader.stream().codecpar;
  bool video = codec.codec_type == AVMEDIA_TYPE_VIDEO;
  AVCodecID expected = video ? AV_CODEC_ID_H264 : AV_CODEC_ID_AAC;
  if (codec.codec_id != expected) {
    return fileFailure(reader.file(), std::string("cannot join ") +
                                          avcodec_get_name(codec.codec_id) +
                                          (video ? " video" : " audio") + " without re-encoding");
  }
  if (codec.extradata_size <= 0 || (video && codec.extradata[0] != 1))
    return fileFailure(reader.file(), "the stream has no decoder configuration");
  format = SampleFormat{};
  format.kind = video ? TrackKind::video : TrackKind::audio;
  if (video) {
    format.width = codec.width;
    format.height = codec.height;
  } else {
    format.sampleRate = codec.sample_rate;
    format.channels = codec.ch_layout.nb_channels;
  }
  format.config.assign(codec.extradata, codec.extradata + codec.extradata_size);
  return std::nullopt;
}

std::uint32_t timescaleFor(const AVStream& stream) {
  const AVCodecParameters& codec = *stream.codecpar;
  if (codec.codec_type == AVMEDIA_TYPE_AUDIO && codec.sample_rate > 0)
    return static_cast<std::uint32_t>(codec.sample_rate);
  if (stream.time_base.num == 1 && stream.time_base.den > 0)
    return static_cast<std::uint32_t>(stream.time_base.den);
  return 90000;
}

// The part of one stream that one segment copies: the packets from where
// decoding can start up to the end of the trim range, written to one track.
// Subclasses decide which packets are needed.
class StreamCut {
public:
  StreamCut(StreamReader& reader, MovieTrack& track, QuickTimeWriter& writer,
            std::uint32_t description, std::int64_t start, std::int64_t end)
      : reader_(reader), track_(track), writer_(writer), description_(description),
        timeBase_(reader.stream().time_base), start_(start), end_(end), next_(makePacket()) {
    base_ = track.mediaEnd();
  }
  virtual ~StreamCut() = default;

  bool active() const { return active_; }
  // Take time (seconds) of the packet that comes next.
  double time() const { return decodeTime(*next_) * av_q2d(timeBase_); }

  // Reads the next packet and writes whatever is known to be needed.
  std::optional<ExportFailure> step() {
    if (auto failure = take(std::move(next_)))
      return failure;
    if (!active_)
      return std::nullopt;
    return readNext();
  }

  // What the segment put into the track; nothing when it wrote no sample.
  virtual std::optional<SegmentMedia> finish() = 0;

protected:
  // Handles one packet in decode order; sets active_ = false when no later
  // packet can be needed.
  virtual std::optional<ExportFailure> take(PacketPtr packet) = 0;

  std::optional<ExportFailure> readNext() {
    next_ = makePacket();
    bool got = false;
    if (auto failure = reader_.read(next_.get(), got))
      return failure;
    active_ = got;
    return std::nullopt;
  }

  std::int64_t toTrack(std::int64_t timestamp) const {
    return av_rescale_q(timestamp, timeBase_, AVRational{1, static_cast<int>(track_.timescale())});
  }
  // Sign of (take time of timestamp) - (movie time).
  int compare(std::int64_t timestamp, std::int64_t movieTime) const {
    return av_compare_ts(timestamp, timeBase_, movieTime, kMovieTimeBase);
  }
  std::int64_t packetDuration(const AVPacket& packet) const {
    if (packet.duration > 0)
      return packet.duration;
    AVRational rate = reader_.stream().avg_frame_rate;
    if (rate.num > 0 && rate.den > 0)
      return std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(rate), timeBase_));
    return 1;
  }

  std::optional<ExportFailure> write(const AVPacket& packet, std::int64_t trackDecodeTime,
                                     std::int32_t compositionOffset) {
    if (written_ > 0 && trackDecodeTime <= lastDecodeTime_)
      trackDecodeTime = lastDecodeTime_ + 1;
    bool sync = (packet.flags & AV_PKT_FLAG_KEY) != 0;
    std::error_code error =
        writer_.writeSample(track_, packet.data, static_cast<std::size_t>(packet.size),
                            trackDecodeTime, compositionOffset, sync, description_, written_ == 0);
    if (error)
      return ExportFailure::platform(error.message());
    lastDecodeTime_ = trackDecodeTime;
    ++written_;
    return std::nullopt;
  }

  StreamReader& reader_;
  MovieTrack& track_;
  QuickTimeWriter& writer_;
  std::uint32_t description_;
  AVRational timeBase_;
  std::int64_t start_; // movie timescale, take time
  std::int64_t end_;
  std::int64_t base_; // track media time where this segment's samples begin
  PacketPtr next_;
  bool active_ = false;
  std::int64_t written_ = 0;
  std::int64_t lastDecodeTime_ = 0;
};

// Video: from the last key frame shown at or before the trim start, through
// every frame shown before the trim end. Frames decoded in between that are
// shown after the end are kept too (later frames may refer to them); the
// edit list hides them.
class VideoCut final : public StreamCut {
public:
  using StreamCut::StreamCut;

  std::optional<ExportFailure> begin() {
    std::int64_t target = av_rescale_q_rnd(start_, kMovieTimeBase, timeBase_, AV_ROUND_DOWN);
    std::int64_t previousDecodeTime = std::numeric_limits<std::int64_t>::min();
    // A seek lands on a key frame by decode time; with reordered frames it
    // may be shown after the trim start, so step back until it is not.
    for (int attempt = 0; attempt < 64; ++attempt) {
      if (auto failure = reader_.seekBefore(target))
        return failure;
      if (auto failure = readNext())
        return failure;
      if (!active_)
        return std::nullopt;
      std::int64_t shown = presentationTime(*next_);
      bool key = (next_->flags & AV_PKT_FLAG_KEY) != 0;
      std::int64_t decoded = decodeTime(*next_);
      if ((key && compare(shown, start_) <= 0) || decoded == previousDecodeTime)
        return std::nullopt;
      previousDecodeTime = decoded;
      target = std::min(shown, decoded) - 1;
    }
    return std::nullopt;
  }

  std::optional<SegmentMedia> finish() override {
    if (written_ == 0)
      return std::nullopt;
    // The next segment's media starts after every instant this one shows,
    // so the two never overlap in the track's media timeline.
    std::int64_t lastDuration = toTrack(lastPacketDuration_);
    track_.setLastSampleDuration(
        std::max<std::int64_t>({1, lastDuration, presentationEnd_ - lastDecodeTime_}));
    SegmentMedia media;
    media.availableStart = toTrack(firstShown_);
    media.availableEnd = availableEnd_;
    media.mediaOffset = base_ - toTrack(firstDecoded_);
    return media;
  }

private:
  std::optional<ExportFailure> take(PacketPtr packet) override {
    std::int64_t decoded = decodeTime(*packet);
    std::int64_t shown = presentationTime(*packet);
    if (written_ == 0 && held_.empty()) {
      firstDecoded_ = decoded;
      firstShown_ = shown;
    }
    if (compare(decoded, end_) >= 0) {
      // Shown no earlier than it is decoded: neither it nor any later frame
      // is needed.
      active_ = false;
      held_.clear();
      return std::nullopt;
    }
    held_.push_back(std::move(packet));
    if (compare(shown, end_) >= 0)
      return std::nullopt;
    while (!held_.empty()) {
      PacketPtr next = std::move(held_.front());
      held_.pop_front();
      if (auto failure = writeFrame(*next))
        return failure;
    }
    return std::nullopt;
  }

  std::optional<ExportFailure> writeFrame(const AVPacket& packet) {
    std::int64_t decoded = toTrack(decodeTime(packet));
    std::int64_t shown = toTrack(presentationTime(packet));
    std::int64_t duration = toTrack(presentationTime(packet) + packetDuration(packet)) - shown;
    std::int64_t trackDecodeTime = base_ + decoded - toTrack(firstDecoded_);
    std::int64_t offset = shown - decoded;
    if (offset > std::numeric_limits<std::int32_t>::max() ||
        offset < std::numeric_limits<std::int32_t>::min())
      return fileFailure(reader_.file(), "frame timing out of range");
    if (auto failure = write(packet, trackDecodeTime, static_cast<std::int32_t>(offset)))
      return failure;
    availableEnd_ = std::max(availableEnd_, shown + duration);
    presentationEnd_ = std::max(presentationEnd_, lastDecodeTime_ + offset + duration);
    lastPacketDuration_ = packetDuration(packet);
    return std::nullopt;
  }

  std::deque<PacketPtr> held_;
  std::int64_t firstDecoded_ = 0;
  std::int64_t firstShown_ = 0;
  std::int64_t availableEnd_ = std::numeric_limits<std::int64_t>::min();
  std::int64_t presentationEnd_ = std::numeric_limits<std::int64_t>::min();
  std::int64_t lastPacketDuration_ = 0;
};

// Audio: one packet of pre-roll before the one holding the trim start (the
// decoder needs it to rebuild the first samples), through the packet holding
// the trim end. At a take's start the pre-roll is the encoder's priming
// packet, which the take's own edit list places before time zero; the edit
// then skips exactly the priming.
class AudioCut final : public StreamCut {
public:
  using StreamCut::StreamCut;

  std::optional<ExportFailure> begin() {
    int frameSize = reader_.stream().codecpar->frame_size;
    preRoll_ = frameSize > 0 ? frameSize : 1024;
    std::int64_t startTime = av_rescale_q_rnd(start_, kMovieTimeBase, timeBase_, AV_ROUND_DOWN);
    std::int64_t samples = av_rescale_q(preRoll_, AVRational{1, sampleRate()}, timeBase_);
    firstNeeded_ = startTime - samples;
    if (auto failure = reader_.seekBefore(firstNeeded_))
      return failure;
    return readNext();
  }

  std::optional<SegmentMedia> finish() override {
    if (written_ == 0)
      return std::nullopt;
    track_.setLastSampleDuration(std::max<std::int64_t>(1, toTrack(lastDuration_)));
    SegmentMedia media;
    media.availableStart = toTrack(firstShown_ + firstDuration_);
    media.availableEnd = toTrack(lastShown_ + lastDuration_);
    media.mediaOffset = base_ - toTrack(firstShown_);
    return media;
  }

private:
  int sampleRate() const {
    int rate = reader_.stream().codecpar->sample_rate;
    return rate > 0 ? rate : 48000;
  }

  std::optional<ExportFailure> take(PacketPtr packet) override {
    std::int64_t shown = presentationTime(*packet);
    std::int64_t duration = packetDuration(*packet);
    if (compare(shown, end_) >= 0) {
      active_ = false;
      return std::nullopt;
    }
    if (shown + duration <= firstNeeded_)
      return std::nullopt;
    if (written_ == 0) {
      firstShown_ = shown;
      firstDuration_ = duration;
    }
    std::int64_t trackDecodeTime = base_ + toTrack(shown) - toTrack(firstShown_);
    if (auto failure = write(*packet, trackDecodeTime, 0))
      return failure;
    lastShown_ = shown;
    lastDuration_ = duration;
    return std::nullopt;
  }

  int preRoll_ = 1024;
  std::int64_t firstNeeded_ = 0;
  std::int64_t firstShown_ = 0;
  std::int64_t firstDuration_ = 0;
  std::int64_t lastShown_ = 0;
  std::int64_t lastDuration_ = 0;
};

// Builds the movie take by take.
class MovieJoiner {
public:
  MovieJoiner() : video_(TrackKind::video, 0), audio_(TrackKind::audio, 0) {}

  std::error_code create(const fs::path& file) { return writer_.create(file); }

  std::optional<ExportFailure> append(const Take& take, const fs::path& file) {
    std::int64_t start = std::max<std::int64_t>(0, toMovieTime(take.trimStart));
    std::int64_t end = toMovieTime(take.trimEnd);

    StreamReader videoReader;
    StreamReader audioReader;
    if (auto failure = videoReader.open(file, AVMEDIA_TYPE_VIDEO))
      return failure;
    if (auto failure = audioReader.open(file, AVMEDIA_TYPE_AUDIO))
      return failure;
    if (end <= start)
      return std::nullopt;

    std::optional<VideoCut> videoCut;
    std::optional<AudioCut> audioCut;
    if (videoReader.hasStream()) {
      SampleFormat format;
      if (auto failure = sampleFormat(videoReader, format))
        return failure;
      if (video_.timescale() == 0)
        video_.setTimescale(timescaleFor(videoReader.stream()));
      videoCut.emplace(videoReader, video_, writer_, video_.descriptionFor(format), start, end);
      if (auto failure = videoCut->begin())
        return failure;
    }
    if (audioReader.hasStream()) {
      SampleFormat format;
      if (auto failure = sampleFormat(audioReader, format))
        return failure;
      if (audio_.timescale() == 0)
        audio_.setTimescale(timescaleFor(audioReader.stream()));
      audioCut.emplace(audioReader, audio_, writer_, audio_.descriptionFor(format), start, end);
      if (auto failure = audioCut->begin())
        return failure;
    }

    auto videoActive = [&] { return videoCut && videoCut->active(); };
    auto audioActive = [&] { return audioCut && audioCut->active(); };
    double window = std::numeric_limits<double>::max();
    if (videoActive())
      window = videoCut->time();
    if (audioActive())
      window = std::min(window, audioCut->time());
    while (videoActive() || audioActive()) {
      window += kInterleaveSeconds;
      while (videoActive() && videoCut->time() < window) {
        if (auto failure = videoCut->step())
          return failure;
      }
      while (audioActive() && audioCut->time() < window) {
        if (auto failure = audioCut->step())
          return failure;
      }
    }

    std::optional<SegmentMedia> videoMedia = videoCut ? videoCut->finish() : std::nullopt;
    std::optional<SegmentMedia> audioMedia = audioCut ? audioCut->finish() : std::nullopt;
    appendSegmentEdits(video_.edits(), start, end, videoMedia, video_.timescale());
    appendSegmentEdits(audio_.edits(), start, end, audioMedia, audio_.timescale());
    return std::nullopt;
  }

  bool isEmpty() const { return video_.samples().empty() && audio_.samples().empty(); }

  std::error_code finish() { return writer_.finish({&video_, &audio_}); }

private:
  QuickTimeWriter writer_;
  MovieTrack video_;
  MovieTrack audio_;
};

fs::path temporaryPathFor(const fs::path& destination) {
  std::string name = "." + destination.filename().string() + "." + Uuid::random().string() + ".tmp";
  return destination.parent_path() / name;
}

} // namespace

std::optional<ExportFailure> exportMovie(const std::vector<Take>& takes,
                                         const fs::path& takesDirectory,
                                         const fs::path& destinationPath) {
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

  fs::path temporary = temporaryPathFor(destination);
  std::optional<ExportFailure> failure;
  {
    MovieJoiner joiner;
    if (std::error_code created = joiner.create(temporary))
      return fileFailure(destination, created.message());
    for (const Take& take : takes) {
      failure = joiner.append(take, takesDirectory / take.filename);
      if (failure)
        break;
    }
    if (!failure && joiner.isEmpty())
      failure = ExportFailure::own(ExportError::exportFailed);
    if (!failure) {
      if (std::error_code finished = joiner.finish())
        failure = fileFailure(destination, finished.message());
    }
  }
  if (!failure && ::rename(temporary.c_str(), destination.c_str()) != 0)
    failure = fileFailure(destination, std::error_code(errno, std::generic_category()).message());
  if (failure) {
    fs::remove(temporary, error);
    return failure;
  }
  syncFolder(destination.parent_path());
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
