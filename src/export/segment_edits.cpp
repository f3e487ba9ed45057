#include "export/segment_edits.h"

#include "export/quicktime_writer.h"

#include <algorithm>
#include <cmath>

namespace vidorel {

namespace {

// a / b rounded to the nearest integer (halves upwards), for positive b.
std::int64_t nearest(std::int64_t a, std::int64_t b) {
  std::int64_t twice = 2 * a + b;
  std::int64_t quotient = twice / (2 * b);
  if (twice % (2 * b) != 0 && twice < 0)
    --quotient;
  return quotient;
}

} // namespace

std::int64_t toMovieTime(double seconds) {
  return static_cast<std::int64_t>(std::llround(seconds * kMovieTimescale));
}

std::int64_t toFrameBoundary(double seconds) {
  constexpr std::int64_t kFrame = kMovieTimescale / 60;
  static_assert(kMovieTimescale % 60 == 0);
  return static_cast<std::int64_t>(std::llround(seconds * 60)) * kFrame;
}

std::int64_t movieToMedia(std::int64_t movieTime, std::uint32_t mediaTimescale) {
  return nearest(movieTime * static_cast<std::int64_t>(mediaTimescale), kMovieTimescale);
}

PacketRun packetRunFor(std::int64_t start, std::int64_t end, std::int64_t packetLength) {
  PacketRun run;
  if (packetLength <= 0)
    return run;
  run.first = nearest(start, packetLength);
  run.count = std::max<std::int64_t>(0, nearest(end, packetLength) - run.first);
  return run;
}

std::optional<std::int64_t> decodeTimeFor(std::int64_t compositionTime, std::int64_t reorder,
                                          std::optional<std::int64_t> previous) {
  std::int64_t decodeTime = 0;
  if (previous)
    decodeTime = std::max(compositionTime - std::max<std::int64_t>(0, reorder), *previous + 1);
  if (decodeTime > compositionTime)
    return std::nullopt;
  return decodeTime;
}

} // namespace vidorel
