#pragma once

#include "base/main_loop.h"
#include "export/session_exporter.h"

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace vidorel {

// What an export did, for tests and the benchmark.
struct ExportStatistics {
  // Frames decoded and encoded again, per segment (take) in order.
  std::vector<std::int64_t> reencodedFrames;
};

// Joins the takes on the calling thread into a QuickTime movie without
// multi-entry edit lists, so every player shows the same frames at the same
// times: each segment is a plain run of samples. Video packets from the
// first key frame at or after a trim start are copied unchanged while they
// are shown before the trim end; the frames between the trim start and that
// key frame are decoded and encoded again (the first as an IDR frame) with
// the take writer's settings, as are takes of another picture size
// (letterboxed). Sound is copied as whole AAC packets placed on the movie's
// packet grid; takes without sound give encoded silence, takes of another
// format are converted. The movie is written beside the destination under a
// temporary name and renamed over it only when complete. Each take with a
// chapter title starts a chapter. With even loudness the sound is decoded,
// each segment brought to one loudness, limited and encoded once.
std::optional<ExportFailure> exportMovie(const std::vector<Take>& takes,
                                         const std::filesystem::path& takesDirectory,
                                         const std::filesystem::path& destination,
                                         ExportStatistics* statistics = nullptr,
                                         const ExportOptions& options = {});

// Runs each export on a thread of its own and resumes the awaiting task on
// the main loop.
class FfmpegSessionExporter final : public SessionExporter {
public:
  explicit FfmpegSessionExporter(MainLoop& loop) : loop_(loop) {}
  // Waits for exports still running.
  ~FfmpegSessionExporter() override;

  Task<std::optional<ExportFailure>> exportTakes(std::vector<Take> takes,
                                                 std::filesystem::path takesDirectory,
                                                 std::filesystem::path destination,
                                                 ExportOptions options) override;

private:
  struct Worker {
    std::thread thread;
    std::atomic<bool> finished{false};
  };
  void startWorker(std::function<void()> work);

  MainLoop& loop_;
  std::mutex mutex_;
  std::list<std::unique_ptr<Worker>> workers_;
};

} // namespace vidorel
