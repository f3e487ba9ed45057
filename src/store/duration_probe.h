#pragma once

#include "base/log.h"

#include <filesystem>
#include <optional>
#include <string>

namespace vidorel {

// Reads the length of a movie file. Reconcile, the take writer and the
// review window ask it; tests hand in a fake.
class DurationProbe {
public:
  virtual ~DurationProbe() = default;
  // Seconds, or nothing when the file cannot be read as a movie.
  virtual std::optional<double> duration(const std::filesystem::path& movie) = 0;
  // Why export could not use the movie, read as export reads it ("a named
  // pipe, not a movie file", "not a movie: ..."); nothing when it can.
  virtual std::optional<std::string> whyUnusable(const std::filesystem::path& movie) = 0;
};

// libavformat: the container's duration, else the longest stream's.
class FfmpegDurationProbe final : public DurationProbe {
public:
  std::optional<double> duration(const std::filesystem::path& movie) override;
  std::optional<std::string> whyUnusable(const std::filesystem::path& movie) override;
};

// libavformat's own messages (about a file it cannot read) go to logger
// instead of stderr, for the rest of the process.
void sendLibavMessagesTo(Logger& logger);

} // namespace vidorel
