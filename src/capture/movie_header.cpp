#include "capture/movie_header.h"

#include <algorithm>
#include <cstring>

namespace vidorel {

std::optional<MovieLengthField> findMovieLengthField(const std::uint8_t* head, std::size_t size) {
  auto read32 = [&](std::size_t at) {
    return std::uint32_t{head[at]} << 24 | std::uint32_t{head[at + 1]} << 16 |
           std::uint32_t{head[at + 2]} << 8 | std::uint32_t{head[at + 3]};
  };
  auto named = [&](std::size_t at, const char* name) {
    return std::memcmp(head + at + 4, name, 4) == 0;
  };
  std::size_t at = 0;
  std::size_t end = size; // of the box being walked: the file, then the moov
  bool inMovie = false;
  while (at + 8 <= end) {
    std::size_t boxSize = read32(at);
    if (boxSize < 8)
      return std::nullopt; // 64-bit or open-ended sizes are not ours to follow
    std::size_t boxEnd = std::min(end, at + boxSize);
    if (!inMovie && named(at, "moov")) {
      inMovie = true;
      end = boxEnd;
      at += 8;
      continue;
    }
    if (inMovie && named(at, "mvhd")) {
      // Version byte, flags, then the creation and modification times and
      // the timescale before the duration: 4-byte times in version 0,
      // 8-byte ones in version 1.
      if (at + 9 > boxEnd)
        return std::nullopt;
      bool wide = head[at + 8] == 1;
      std::size_t timescaleAt = at + (wide ? 28 : 20);
      std::size_t lengthAt = timescaleAt + 4;
      if (lengthAt + (wide ? 8 : 4) > boxEnd)
        return std::nullopt;
      std::uint32_t timescale = read32(timescaleAt);
      if (timescale == 0)
        return std::nullopt;
      return MovieLengthField{lengthAt, wide, timescale};
    }
    at += boxSize;
  }
  return std::nullopt;
}

} // namespace vidorel
