#include "store/duration_probe.h"

#include "base/files.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace vidorel {

namespace {

std::string avErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

Logger* libavLogger = nullptr;

void logLibavMessage(void* context, int level, const char* format, va_list arguments) {
  if (level > av_log_get_level() || level > AV_LOG_WARNING)
    return;
  static std::mutex mutex;
  static int printPrefix = 1;
  char line[1024];
  {
    std::lock_guard lock(mutex);
    av_log_format_line2(context, level, format, arguments, line, sizeof line, &printPrefix);
  }
  std::string_view text(line);
  while (!text.empty() && text.back() == '\n')
    text.remove_suffix(1);
  if (text.empty() || !libavLogger)
    return;
  libavLogger->write(level <= AV_LOG_ERROR ? LogLevel::error : LogLevel::info,
                     LogCategory::persistence, text);
}

} // namespace

void sendLibavMessagesTo(Logger& logger) {
  libavLogger = &logger;
  av_log_set_callback(logLibavMessage);
}

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

std::optional<std::string> FfmpegDurationProbe::whyUnusable(const std::filesystem::path& movie) {
  if (std::optional<std::string> kind = nonRegularKind(movie))
    return "a " + *kind + ", not a movie file";
  // libavformat's own text for a file it may not open is less plain.
  int fd = ::open(movie.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0)
    return std::string("cannot be read: ") + std::strerror(errno);
  ::close(fd);
  AVFormatContext* format = nullptr;
  int result = avformat_open_input(&format, movie.c_str(), nullptr, nullptr);
  if (result < 0)
    return "not a movie: " + avErrorText(result);
  std::optional<std::string> problem;
  result = avformat_find_stream_info(format, nullptr);
  if (result < 0)
    problem = "not a movie: " + avErrorText(result);
  // Export takes the first picture and the first sound of a take and
  // decodes what it cannot copy; it needs at least one of them.
  bool seen[2] = {false, false}; // picture, sound
  for (unsigned i = 0; !problem && i < format->nb_streams; ++i) {
    const AVStream* stream = format->streams[i];
    AVMediaType type = stream->codecpar->codec_type;
    if ((type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) ||
        (stream->disposition & AV_DISPOSITION_ATTACHED_PIC))
      continue;
    bool& first = seen[type == AVMEDIA_TYPE_VIDEO ? 0 : 1];
    if (first)
      continue;
    first = true;
    if (!avcodec_find_decoder(stream->codecpar->codec_id))
      problem = std::string("no decoder for ") + avcodec_get_name(stream->codecpar->codec_id);
  }
  if (!problem && !seen[0] && !seen[1])
    problem = "holds neither picture nor sound";
  avformat_close_input(&format);
  return problem;
}

} // namespace vidorel
