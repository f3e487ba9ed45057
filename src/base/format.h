#pragma once

#include <string>

namespace vidorel {

// printf-style formatting into a std::string; log lines and user-facing
// texts keep their printf placeholders.
std::string formatString(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Seconds as "%d:%02d" (whole seconds, truncated): 75.9 -> "1:15".
std::string formatMinutesSeconds(double seconds);

} // namespace vidorel
