#include "base/format.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace vidorel {

std::string formatString(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string result;
  if (length > 0) {
    result.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(result.data(), result.size(), format, args);
    result.resize(static_cast<size_t>(length));
  }
  va_end(args);
  return result;
}

std::string formatMinutesSeconds(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0)
    seconds = 0;
  long total = static_cast<long>(seconds);
  return formatString("%ld:%02ld", total / 60, total % 60);
}

} // namespace vidorel
