#pragma once

// The video of one segment of a movie: a take's packets copied from its
// first key frame within the trim range, the frames around the cuts
// decoded and re-encoded with the take writer's settings.

#include "capture/avc_config.h"
#include "capture/ffmpeg_handles.h"
#include "export/export_error.h"
#include "export/quicktime_writer.h"

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace vidorel::exporting {

namespace fs = std::filesystem;

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

  std::optional<ExportFailure> cut();

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

} // namespace vidorel::exporting
