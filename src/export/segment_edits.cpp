#include "export/segment_edits.h"

#include <algorithm>
#include <cmath>

namespace vidorel {

namespace {

// a * b / c for non-negative c, rounded down (towards minus infinity).
std::int64_t scaleDown(std::int64_t a, std::int64_t b, std::int64_t c) {
  __int128 product = static_cast<__int128>(a) * b;
  __int128 quotient = product / c;
  if (product % c != 0 && product < 0)
    --quotient;
  return static_cast<std::int64_t>(quotient);
}

std::int64_t scaleUp(std::int64_t a, std::int64_t b, std::int64_t c) {
  return -scaleDown(-a, b, c);
}

void appendEmpty(std::vector<MovieEdit>& edits, std::int64_t duration) {
  if (duration <= 0)
    return;
  if (!edits.empty() && edits.back().isEmpty()) {
    edits.back().duration += duration;
    return;
  }
  edits.push_back(MovieEdit{duration, -1});
}

} // namespace

std::int64_t toMovieTime(double seconds) {
  return static_cast<std::int64_t>(std::llround(seconds * kMovieTimescale));
}

std::int64_t movieToMedia(std::int64_t movieTime, std::uint32_t mediaTimescale) {
  // floor(movieTime * mediaTimescale / 600 + 1/2)
  std::int64_t twice = 2 * movieTime * static_cast<std::int64_t>(mediaTimescale) + kMovieTimescale;
  return scaleDown(twice, 1, 2 * kMovieTimescale);
}

void appendSegmentEdits(std::vector<MovieEdit>& edits, std::int64_t start, std::int64_t end,
                        const std::optional<SegmentMedia>& media, std::uint32_t mediaTimescale) {
  if (end <= start)
    return;
  if (!media) {
    appendEmpty(edits, end - start);
    return;
  }
  // The shown part must stay inside the media: rounding outwards could show
  // a sliver of the neighbouring segment's samples.
  std::int64_t first =
      std::max(start, scaleUp(media->availableStart, kMovieTimescale, mediaTimescale));
  std::int64_t last =
      std::min(end, scaleDown(media->availableEnd, kMovieTimescale, mediaTimescale));
  if (last <= first) {
    appendEmpty(edits, end - start);
    return;
  }
  appendEmpty(edits, first - start);
  std::int64_t mediaTime = std::max(movieToMedia(first, mediaTimescale), media->availableStart);
  edits.push_back(MovieEdit{last - first, mediaTime + media->mediaOffset});
  appendEmpty(edits, end - last);
}

} // namespace vidorel
