#include "base/iso8601.h"

#include <cctype>
#include <cstdio>
#include <ctime>

namespace vidorel {
namespace {

// Reads exactly count digits at text[pos].
bool readDigits(std::string_view text, size_t pos, size_t count, int& out) {
  if (pos + count > text.size())
    return false;
  int value = 0;
  for (size_t i = 0; i < count; ++i) {
    char c = text[pos + i];
    if (!std::isdigit(static_cast<unsigned char>(c)))
      return false;
    value = value * 10 + (c - '0');
  }
  out = value;
  return true;
}

} // namespace

Timestamp currentTimestamp() {
  return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
}

std::string formatIso8601(Timestamp time) {
  using namespace std::chrono;
  sys_days day = floor<days>(time);
  year_month_day date(day);
  hh_mm_ss<seconds> clock(time - day);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

std::optional<Timestamp> parseIso8601(std::string_view text) {
  using namespace std::chrono;
  int y, mo, d, h, mi, s;
  if (!readDigits(text, 0, 4, y) || text.size() < 20 || text[4] != '-' ||
      !readDigits(text, 5, 2, mo) || text[7] != '-' || !readDigits(text, 8, 2, d) ||
      (text[10] != 'T' && text[10] != 't') || !readDigits(text, 11, 2, h) || text[13] != ':' ||
      !readDigits(text, 14, 2, mi) || text[16] != ':' || !readDigits(text, 17, 2, s))
    return std::nullopt;
  year_month_day date{year(y), month(static_cast<unsigned>(mo)), day(static_cast<unsigned>(d))};
  if (!date.ok() || h > 23 || mi > 59 || s > 59)
    return std::nullopt;

  std::string_view zone = text.substr(19);
  int offsetMinutes = 0;
  if (zone == "Z" || zone == "z") {
    offsetMinutes = 0;
  } else if (zone.size() >= 5 && (zone[0] == '+' || zone[0] == '-')) {
    int oh, om;
    size_t minutePos = zone[3] == ':' ? 4 : 3;
    if (!readDigits(zone, 1, 2, oh) || !readDigits(zone, minutePos, 2, om) ||
        zone.size() != minutePos + 2 || oh > 23 || om > 59)
      return std::nullopt;
    offsetMinutes = (oh * 60 + om) * (zone[0] == '-' ? -1 : 1);
  } else {
    return std::nullopt;
  }
  sys_seconds local = sys_days(date) + hours(h) + minutes(mi) + seconds(s);
  return local - minutes(offsetMinutes);
}

std::string formatLocalDate(Timestamp time) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &local);
  return text;
}

} // namespace vidorel
