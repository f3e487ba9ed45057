#pragma once

// Joins the segments of a movie: the video samples each segment's CutJob
// makes, and the sound of each take cut to whole AAC packets on the movie's
// packet grid, into one QuickTime movie.

#include "capture/avc_config.h"
#include "export/ffmpeg_even_sound.h"
#include "export/ffmpeg_take_reader.h"
#include "export/ffmpeg_video_cut.h"
#include "export/quicktime_writer.h"
#include "export/segment_edits.h"
#include "export/video_grid.h"
#include "model/session.h"

#include <deque>
#include <limits>
#include <system_error>

namespace vidorel::exporting {

// A take's trim range in take time, ticks, on the nearest frame boundaries
// of the constant rate: every segment is a whole number of frames.
inline std::pair<std::int64_t, std::int64_t> segmentRange(const Take& take) {
  std::int64_t start = std::max<std::int64_t>(0, toFrameBoundary(take.trimStart));
  std::int64_t end = toFrameBoundary(take.trimEnd);
  return {start * kTicksPerMovieUnit, end * kTicksPerMovieUnit};
}

// Takes whose video is made at once: each take's decoding and encoding
// keeps about one core busy, and one take may be done while the one before
// is still at work.
inline constexpr std::size_t kCutsAtOnce = 3;

// Builds the movie take by take.
class MovieJoiner {
public:
  MovieJoiner() : video_(TrackKind::video, kVideoTimescale), audio_(TrackKind::audio, kAudioRate) {}

  std::error_code start(int fd) { return writer_.start(fd); }

  // Appends the take's trim range; its video (for a movie with pictures)
  // comes from video.
  std::optional<ExportFailure> append(const Take& take, const fs::path& file, CutJob* video);

  bool isEmpty() const { return cursor_ == 0; }

  // The sound comes from jobs that make it for the same takes, one after
  // the other, instead of the takes' sound being copied.
  void takeSoundFrom(std::vector<EvenSoundJob*> jobs) { evenSound_ = std::move(jobs); }

  // The next segment appended, if it is not empty, starts a chapter.
  void startChapter(std::string title) { nextChapter_ = std::move(title); }

  std::error_code finish() {
    if (takeEvenSound(std::numeric_limits<std::int64_t>::max()))
      return std::make_error_code(std::errc::io_error);
    // The sound never runs past the picture: a packet that would is left out.
    while (!pendingAudio_.empty() && (pendingAudio_.back().index + 1) * kTicksPerAacFrame > cursor_)
      pendingAudio_.pop_back();
    audioLimit_ = std::numeric_limits<std::int64_t>::max();
    if (auto failure = flushAudio(std::numeric_limits<std::int64_t>::max()))
      return std::make_error_code(std::errc::io_error);
    std::vector<VideoGrid::Repeat> repeats;
    grid_.fillTo(cursor_, repeats);
    if (auto failure = writeRepeats(repeats, {}))
      return std::make_error_code(std::errc::io_error);
    if (!video_.samples().empty())
      video_.setLastSampleDuration(std::max<std::int64_t>(1, cursor_ - lastDecodeTime_));
    audio_.setLastSampleDuration(kAacFrame);
    return writer_.finish({&video_, &audio_}, chapters_);
  }

  // Frames encoded so far.
  std::int64_t reencodedFrames() const { return reencoded_; }

private:
  using AudioPacket = SoundPacket;

  // Video samples go on the constant rate's grid, with repeats of the
  // picture before them where there is no sample for a frame.
  std::optional<ExportFailure> writeVideo(const std::uint8_t* data, std::size_t size,
                                          std::int64_t compositionTime, std::int64_t reorder,
                                          bool sync, std::uint32_t description,
                                          const fs::path& file) {
    std::vector<VideoGrid::Repeat> repeats;
    Bytes rewritten;
    std::int64_t time =
        grid_.place(compositionTime, description, video_.descriptions().at(description - 1).config,
                    data, size, rewritten, repeats);
    if (auto failure = writeRepeats(repeats, file))
      return failure;
    if (!rewritten.empty()) {
      data = rewritten.data();
      size = rewritten.size();
    }
    return writeVideoSample(data, size, time, reorder, sync, description, file);
  }

  std::optional<ExportFailure> writeRepeats(const std::vector<VideoGrid::Repeat>& repeats,
                                            const fs::path& file) {
    for (const VideoGrid::Repeat& repeat : repeats) {
      if (auto failure = writeVideoSample(repeat.sample.data(), repeat.sample.size(), repeat.time,
                                          0, false, lastDescription_, file))
        return failure;
    }
    return std::nullopt;
  }

  // Video samples: decode times are kept as close as the order of decoding
  // allows to composition time minus the source's own reordering delay,
  // never before the previous sample's, never after the sample's own
  // composition time, so no edit list is needed to show frames on time.
  std::optional<ExportFailure> writeVideoSample(const std::uint8_t* data, std::size_t size,
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

  // The packets of the jobs' sound before grid index end.
  std::optional<ExportFailure> takeEvenSound(std::int64_t end) {
    for (EvenSoundJob* job : evenSound_) {
      if (job->first() >= end)
        break;
      if (auto failure = job->take(end, pendingAudio_))
        return failure;
    }
    return std::nullopt;
  }

  QuickTimeWriter writer_;
  MovieTrack video_;
  MovieTrack audio_;
  VideoGrid grid_;
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
  std::optional<std::string> nextChapter_;
  std::vector<EvenSoundJob*> evenSound_;
  std::vector<MovieChapter> chapters_;
};

} // namespace vidorel::exporting
