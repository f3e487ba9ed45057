#pragma once

// What the crash runs check after each kill: that a movie plays for two
// independent readers (FFmpeg and GStreamer), what `vidorel check` says of
// a session folder, and whether anything changed outside the session.

#include "support/movie_tools.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace vidorel::crash {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The lines the take writer logs when the first frame of a take is
// written: the take's time zero.
inline constexpr const char* kTakeStartedLine = "session started";

using testing::MovieReading;
using testing::readMovie;

struct CheckResult {
  int status = -1; // 124 when it did not finish in time
  std::string out;
  std::string err;
};
// `vidorel check FOLDER` (with --fix when asked), given at most 30 seconds.
CheckResult checkSession(const fs::path& folder, bool fix = false);
// The file names listed under "Unreviewed takes:".
std::vector<std::string> unreviewedTakes(const std::string& report);
// The headers of the report's sections ("Missing files:", ...).
std::vector<std::string> reportSections(const std::string& report);
// The session loads: check is clean, or reports only unreviewed takes.
bool loadsWithOnlyUnreviewedTakes(const CheckResult& result);
// The session loads at all (check did not fail to read it).
bool loads(const CheckResult& result);

// Every entry under root (relative path -> kind, size, modification time,
// link target), leaving out the entries `skip` names and what they hold.
using TreeSnapshot = std::map<std::string, std::string>;
TreeSnapshot snapshotTree(const fs::path& root,
                          const std::function<bool(const fs::path& relative)>& skip);
// Lines naming what was added, removed or changed; empty when nothing.
std::string treeDifference(const TreeSnapshot& before, const TreeSnapshot& after);

std::string fileDigest(const fs::path& file);

double median(std::vector<double> values);

// `vidorel record OUT --seconds N` as a child whose standard error is read
// line by line as it comes, each line with the time it arrived.
class RecorderProcess {
public:
  RecorderProcess(const fs::path& output, double seconds,
                  std::optional<rlim_t> fileSizeLimit = std::nullopt);
  ~RecorderProcess();
  RecorderProcess(const RecorderProcess&) = delete;
  RecorderProcess& operator=(const RecorderProcess&) = delete;

  // When a line holding `text` arrived; nothing after the timeout.
  std::optional<Clock::time_point> waitForLine(const std::string& text, double seconds);
  void killNow();
  // The exit status once it ended; nothing after the timeout.
  std::optional<int> waitForExit(double seconds);
  std::string output() const;

private:
  struct Line {
    Clock::time_point at;
    std::string text;
  };
  pid_t pid_ = -1;
  int readEnd_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
  std::string partial_;
};

// Something that moves on the screen while it lives (ffplay showing a
// test pattern in the lower left corner, away from the tray menu), so that
// takes hold real pictures.
class MovingPicture {
public:
  MovingPicture();
  ~MovingPicture();
  MovingPicture(const MovingPicture&) = delete;
  MovingPicture& operator=(const MovingPicture&) = delete;

private:
  pid_t pid_ = -1;
};

// Waits until the file holds `count` lines containing `text` and returns
// when the last of them was seen (polled every 10 ms).
std::optional<Clock::time_point> waitForLogLines(const fs::path& log, const std::string& text,
                                                 int count, double seconds);

} // namespace vidorel::crash
