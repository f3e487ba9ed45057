#pragma once

#include "store/duration_probe.h"

#include <map>
#include <string>
#include <vector>

namespace vidorel {

// Durations keyed by file name (the last path component); a file without an
// entry reads as a failure. Records every file asked about, in order.
class FakeDurationProbe final : public DurationProbe {
public:
  std::map<std::string, double> durations;
  std::vector<std::filesystem::path> asked;

  std::optional<double> duration(const std::filesystem::path& movie) override {
    asked.push_back(movie);
    auto found = durations.find(movie.filename().string());
    if (found == durations.end())
      return std::nullopt;
    return found->second;
  }
};

} // namespace vidorel
