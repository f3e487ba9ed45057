#pragma once

// A small QuickTime movie writer for joining already-encoded media: samples
// are appended to the media data as they come, and the movie header with
// its sample tables and edit lists is written last. It knows H.264 video
// and AAC audio, which is what takes hold.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace vidorel {

inline constexpr std::uint32_t kMovieTimescale = 600;

// Chapters: a QuickTime text track whose samples are the chapter titles,
// disabled so that players show it as chapters and not as subtitles.
enum class TrackKind { video, audio, chapters };

// One sample description: the parameters a decoder needs. Samples of takes
// with equal parameters share one description.
struct TrackFormat {
  TrackKind kind = TrackKind::video;
  // Video: coded size; config is the AVC decoder configuration record.
  int width = 0;
  int height = 0;
  // Video: the colour description (ITU-T H.273 code points) written as an
  // nclx colour box, so that players reading only the container agree with
  // the parameter sets on colours.
  int colourPrimaries = 1; // BT.709
  int transfer = 1;        // BT.709
  int matrix = 1;          // BT.709
  bool fullRange = false;
  // Audio: config is the AAC AudioSpecificConfig.
  int sampleRate = 0;
  int channels = 0;
  std::vector<std::uint8_t> config;

  bool operator==(const TrackFormat&) const = default;
};

// One entry of a track's edit list. duration is in the movie timescale;
// mediaTime in the track's media timescale, or -1 for an empty edit (a gap
// of that length in this track).
struct MovieEdit {
  std::int64_t duration = 0;
  std::int64_t mediaTime = -1;

  bool isEmpty() const { return mediaTime < 0; }
  bool operator==(const MovieEdit&) const = default;
};

struct MovieSample {
  std::uint64_t offset = 0; // in the file
  std::uint32_t size = 0;
  std::int64_t decodeTime = 0; // media timescale
  std::int32_t compositionOffset = 0;
  bool sync = false;
};

struct MovieChunk {
  std::uint64_t offset = 0;
  std::uint32_t firstSample = 0;
  std::uint32_t sampleCount = 0;
  std::uint32_t description = 1; // 1-based
};

class MovieTrack {
public:
  MovieTrack(TrackKind kind, std::uint32_t timescale) : kind_(kind), timescale_(timescale) {}

  TrackKind kind() const { return kind_; }
  std::uint32_t timescale() const { return timescale_; }
  // A track may be made before its media is known; the timescale is fixed
  // by the first take that has such media.
  void setTimescale(std::uint32_t timescale) { timescale_ = timescale; }

  // The 1-based index of the description for format, added when new.
  std::uint32_t descriptionFor(const TrackFormat& format);
  const std::vector<TrackFormat>& descriptions() const { return descriptions_; }

  const std::vector<MovieSample>& samples() const { return samples_; }
  const std::vector<MovieChunk>& chunks() const { return chunks_; }
  std::vector<MovieEdit>& edits() { return edits_; }
  const std::vector<MovieEdit>& edits() const { return edits_; }

  // Media time just after the last sample: where the next segment's
  // samples begin.
  std::int64_t mediaEnd() const;
  // Duration of the last sample; the others follow from decode times.
  void setLastSampleDuration(std::int64_t duration) { lastSampleDuration_ = duration; }

  // Records a sample written at offset. A new chunk begins when the caller
  // asks, when the description changes or when the sample does not follow
  // the previous one in the file.
  void addSample(const MovieSample& sample, std::uint32_t description, bool startChunk);

  // Sample durations in decode order (the last one as set).
  std::vector<std::int64_t> sampleDurations() const;
  // Sum of the edits, in the movie timescale; without edits, the media's
  // duration (rounded up to the movie timescale).
  std::int64_t editedDuration() const;

private:
  TrackKind kind_;
  std::uint32_t timescale_;
  std::vector<TrackFormat> descriptions_;
  std::vector<MovieSample> samples_;
  std::vector<MovieChunk> chunks_;
  std::vector<MovieEdit> edits_;
  std::int64_t lastSampleDuration_ = 0;
};

// A chapter of the movie: its title (UTF-8) and where it starts, in the
// movie timescale.
struct MovieChapter {
  std::string title;
  std::int64_t start = 0;

  bool operator==(const MovieChapter&) const = default;
};

// The movie header ("moov") for these tracks; tracks without samples are
// left out. A chapters track is referenced ("tref"/"chap") by every other
// track, and chapters are listed once more in a Nero "chpl" box, the two
// forms FFmpeg's muxer writes. Exposed for tests.
std::vector<std::uint8_t> buildMovieBox(const std::vector<const MovieTrack*>& tracks,
                                        const std::vector<MovieChapter>& chapters = {});

// Writes a movie file: the file type and the media data while samples are
// appended, the movie header at finish().
class QuickTimeWriter {
public:
  QuickTimeWriter() = default;
  QuickTimeWriter(const QuickTimeWriter&) = delete;
  QuickTimeWriter& operator=(const QuickTimeWriter&) = delete;

  // Writes the file type into fd: an empty file opened for writing, which
  // stays the caller's (to sync, close and name).
  std::error_code start(int fd);

  // Appends one sample's bytes to the media data and records it in track.
  std::error_code writeSample(MovieTrack& track, const std::uint8_t* data, std::size_t size,
                              std::int64_t decodeTime, std::int32_t compositionOffset, bool sync,
                              std::uint32_t description, bool startChunk);

  // Writes the chapters' titles (in start order, each lasting up to the
  // next; none: no chapters), what is buffered and the movie header.
  std::error_code finish(const std::vector<const MovieTrack*>& tracks,
                         const std::vector<MovieChapter>& chapters = {});

private:
  std::error_code flush();
  std::error_code writeBytes(const std::uint8_t* data, std::size_t size);

  int fd_ = -1;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t position_ = 0; // file offset of the next byte
  std::uint64_t mediaDataStart_ = 0;
  const MovieTrack* lastTrack_ = nullptr;
};

} // namespace vidorel
