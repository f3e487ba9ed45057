#pragma once

// Checks that wait for a part of the crash safety that is not in this tree
// yet. Each constant is the reason its checks are skipped (printed with
// "skipped:"); set it to nullptr once the part is in, and they run.

#include <cstdio>

namespace vidorel::crash {

// Takes written so that a kill leaves a playable file missing at most the
// last moments, and a failed write that ends the take at once. Until then
// a killed take does not play, so neither `vidorel check` nor the app
// offers it for review (they offer only takes that play).
inline constexpr const char* kAwaitingCrashSafeTakes =
    "the take writer still writes the movie's index only at the end of a take";

// True (and says so) when the checks named by `what` wait for a part.
inline bool awaiting(const char* reason, const char* what) {
  if (!reason)
    return false;
  std::printf("    skipped: %s (%s)\n", what, reason);
  return true;
}

} // namespace vidorel::crash
