#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace vidorel {

// Wall-clock timestamps are kept to whole seconds: that is all the stored
// form can carry, and a session read back must compare equal.
using Timestamp = std::chrono::sys_seconds;

Timestamp currentTimestamp();

// "2026-12-06T19:10:47Z"
std::string formatIso8601(Timestamp time);

// Accepts an internet date-time with "Z" or a numeric offset ("+02:00",
// "-0530"); rejects fractional seconds and anything else.
std::optional<Timestamp> parseIso8601(std::string_view text);

// The local calendar date as "yyyy-MM-dd".
std::string formatLocalDate(Timestamp time);

} // namespace vidorel
