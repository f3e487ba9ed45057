// Feeds arbitrary bytes, as a take file, to the duration probe and to the
// check of whether export can read it. A length, when given, must be a
// finite number of seconds above zero: the session stores it.

#include "store/duration_probe.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" {
#include <libavutil/log.h>
}

namespace {

// The bytes live in one memory file, reached by a path as a take is.
int movieFile() {
  static int fd = [] {
    av_log_set_level(AV_LOG_QUIET);
    return ::memfd_create("take.mov", 0);
  }();
  return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  using namespace vidorel;
  int fd = movieFile();
  if (fd < 0 || ::ftruncate(fd, 0) != 0)
    std::abort();
  if (size > 0 && ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
    std::abort();
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  FfmpegDurationProbe probe;
  std::optional<double> seconds = probe.duration(path);
  if (seconds && !(std::isfinite(*seconds) && *seconds > 0))
    std::abort();
  probe.whyUnusable(path);
  return 0;
}
