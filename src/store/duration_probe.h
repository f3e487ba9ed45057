#pragma once

#include <filesystem>
#include <optional>

namespace vidorel {

// Reads the length of a movie file. Reconcile, the take writer and the
// review window ask it; tests hand in a fake.
class DurationProbe {
public:
  virtual ~DurationProbe() = default;
  // Seconds, or nothing when the file cannot be read as a movie.
  virtual std::optional<double> duration(const std::filesystem::path& movie) = 0;
};

// libavformat: the container's duration, else the longest stream's.
class FfmpegDurationProbe final : public DurationProbe {
public:
  std::optional<double> duration(const std::filesystem::path& movie) override;
};

} // namespace vidorel
