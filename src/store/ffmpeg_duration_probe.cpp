#include "store/duration_probe.h"

#include "base/files.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>

namespace vidorel {

std::optional<double> FfmpegDurationProbe::duration(const std::filesystem::path& movie) {
  // libavformat opens whatever it is given: a named pipe would block the
  // caller (the main thread) until a writer came, a device might never end.
  // Only a regular file is a take.
  if (!isRegularFile(movie))
    return std::nullopt;
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, movie.c_str(), nullptr, nullptr) < 0)
    return std::nullopt;
  std::optional<double> result;
  if (avformat_find_stream_info(format, nullptr) >= 0) {
    if (format->duration != AV_NOPTS_VALUE && format->duration > 0) {
      result = static_cast<double>(format->duration) / AV_TIME_BASE;
    } else {
      double longest = 0;
      for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* stream = format->streams[i];
        if (stream->duration != AV_NOPTS_VALUE)
          longest = std::max(longest, stream->duration * av_q2d(stream->time_base));
      }
      if (longest > 0)
        result = longest;
    }
  }
  avformat_close_input(&format);
  return result;
}

} // namespace vidorel
