#pragma once

#include "base/task.h"
#include "export/export_error.h"
#include "model/session.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vidorel {

// How a movie is made beyond the takes it joins.
struct ExportOptions {
  // One per take, in order: the title of the chapter its scene starts. No
  // titles, no chapters.
  std::vector<std::string> chapterTitles;
  // Each scene's sound brought to one loudness, the movie's sound encoded
  // once; otherwise the takes' sound is copied.
  bool evenLoudness = false;

  bool operator==(const ExportOptions&) const = default;
};

// Joins takes, each cut to its trim range, into one QuickTime movie without
// re-encoding. The export flow talks to it through this interface so that
// it can be tested with a fake.
class SessionExporter {
public:
  virtual ~SessionExporter() = default;

  // Joins takes in the order given; their files are in takesDirectory.
  // Resumes on the main loop with nothing on success.
  virtual Task<std::optional<ExportFailure>> exportTakes(std::vector<Take> takes,
                                                         std::filesystem::path takesDirectory,
                                                         std::filesystem::path destination,
                                                         ExportOptions options) = 0;
};

// Refuses a destination that is not a regular file (a folder, device, pipe
// or socket; an absent one is fine), that is one of the take files or that
// lies inside the session folder (the parent of takesDirectory), following
// symbolic and hard links, before anything is written.
std::optional<ExportFailure> checkExportDestination(const std::vector<Take>& takes,
                                                    const std::filesystem::path& takesDirectory,
                                                    const std::filesystem::path& destination);

// A take's file name must name a file directly inside the takes folder.
bool isPlainTakeFilename(const std::string& filename);

} // namespace vidorel
