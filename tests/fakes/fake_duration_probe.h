#pragma once

#include "store/duration_probe.h"

#include <map>
#include <string>
#include <vector>

namespace vidorel {

// Durations keyed by file name (the last path component); a file without an
// entry reads as a failure. Records every file asked about, in order. A file
// is unusable when it has a reason in unusable.
class FakeDurationProbe final : public DurationProbe {
public:
  std::map<std::string, double> durations;
  std::map<std::string, std::string> unusable;
  std::vector<std::filesystem::path> asked;

  std::optional<std::string> whyUnusable(const std::filesystem::path& movie) override {
    auto found = unusable.find(movie.filename().string());
    if (found == unusable.end())
      return std::nullopt;
    return found->second;
  }

  std::optional<double> duration(const std::filesystem::path& movie) override {
    asked.push_back(movie);
    auto found = durations.find(movie.filename().string());
    if (found == durations.end())
      return std::nullopt;
    return found->second;
  }
};

} // namespace vidorel
