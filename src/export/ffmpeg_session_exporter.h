#pragma once

#include "base/main_loop.h"
#include "export/session_exporter.h"

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace vidorel {

// Joins the takes on the calling thread: libavformat reads each take's
// first video and first audio stream from the preceding key frame (and one
// audio packet of pre-roll) to the end of its trim range; the packets are
// copied unchanged into a QuickTime movie whose edit lists show exactly the
// trimmed ranges. The movie is written beside the destination under a
// temporary name and renamed over it only when complete.
std::optional<ExportFailure> exportMovie(const std::vector<Take>& takes,
                                         const std::filesystem::path& takesDirectory,
                                         const std::filesystem::path& destination);

// Runs each export on a thread of its own and resumes the awaiting task on
// the main loop.
class FfmpegSessionExporter final : public SessionExporter {
public:
  explicit FfmpegSessionExporter(MainLoop& loop) : loop_(loop) {}
  // Waits for exports still running.
  ~FfmpegSessionExporter() override;

  Task<std::optional<ExportFailure>> exportTakes(std::vector<Take> takes,
                                                 std::filesystem::path takesDirectory,
                                                 std::filesystem::path destination) override;

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
