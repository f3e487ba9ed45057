#pragma once

// Even loudness: each segment's sound is decoded, measured over the
// segment (EBU R128 integrated loudness, libebur128) and given one gain;
// the joined sound passes a true-peak limiter and one AAC encoder, so it is
// encoded once and joins are seamless. This runs on a thread of its own
// while the picture is joined.

#include "export/ffmpeg_take_reader.h"
#include "export/loudness.h"
#include "model/session.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vidorel::exporting {

// One AAC packet of the movie's sound and its place on the movie's packet
// grid.
struct SoundPacket {
  std::int64_t index = 0;
  Bytes bytes;
};

// Sound in the movie's format, one vector of samples per channel.
using SoundPlanes = std::vector<std::vector<float>>;

// Decodes and converts the sound of a take (none: silence) to count AAC
// packets' worth of 48 kHz stereo starting at sourceStart (take ticks).
std::optional<ExportFailure> decodeSound(StreamReader* reader, std::int64_t sourceStart,
                                         std::int64_t count, SoundPlanes& channels);

// The AAC encoder's input: one packet's worth of planar float sound at the
// movie's rate and channels, its buffers allocated (null without memory).
FramePtr makeAacInputFrame();

// Hands each packet the encoder has ready to `take` with its index on the
// AAC packet grid; the encoder's priming, before time zero, is left out.
std::optional<ExportFailure>
drainAacEncoder(AVCodecContext* encoder,
                const std::function<void(std::int64_t index, const AVPacket& packet)>& take);

// Where a segment's sound lies: take time (ticks) of its first packet, and
// its packets on the movie's grid.
struct SoundRange {
  std::int64_t sourceStart = 0;
  std::int64_t first = 0;
  std::int64_t count = 0;
};
SoundRange soundRangeFor(std::int64_t start, std::int64_t movieStart, std::int64_t movieEnd);

// The sound of a run of segments: the takes given, each cut to its trim
// range, placed from cursor (movie ticks) on. A movie's sound may be made
// by several jobs at once, one after the other in the movie, each with its
// own encoder.
class EvenSoundJob {
public:
  EvenSoundJob(std::vector<Take> takes, fs::path takesDirectory, std::int64_t cursor);
  // Stops early when the export ends before the sound is made.
  ~EvenSoundJob();
  EvenSoundJob(const EvenSoundJob&) = delete;
  EvenSoundJob& operator=(const EvenSoundJob&) = delete;

  // The packets the job makes: grid indexes [first, end).
  std::int64_t first() const { return first_; }
  std::int64_t end() const { return end_; }
  // Movie time (ticks) after the job's segments.
  std::int64_t cursorAfter() const { return cursorAfter_; }

  // Moves the job's packets before grid index end to out, in order,
  // waiting until they are made.
  std::optional<ExportFailure> take(std::int64_t end, std::deque<SoundPacket>& out);

private:
  void run();
  std::optional<ExportFailure> makeSound();
  std::optional<ExportFailure> appendSegment(StreamReader* reader, const SoundRange& range);
  // Encodes what whole packets sound holds (with what was left before);
  // no sound: the end, everything.
  std::optional<ExportFailure> encode(const SoundPlanes& sound);
  void publish(std::vector<SoundPacket> packets, bool done);

  std::vector<Take> takes_;
  fs::path takesDirectory_;
  std::int64_t cursor_;
  std::int64_t first_ = 0;
  std::int64_t end_ = 0;
  std::int64_t cursorAfter_ = 0;
  // The job's own, on its thread.
  std::unique_ptr<TruePeakLimiter> limiter_;
  CodecPtr encoder_;
  SoundPlanes queue_; // limited sound not yet encoded
  std::int64_t pts_ = 0;
  // Shared with the joiner.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<SoundPacket> made_;
  bool done_ = false;
  bool stop_ = false;
  std::optional<ExportFailure> failure_;
  std::thread thread_;
};

} // namespace vidorel::exporting
