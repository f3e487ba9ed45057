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
  std::size_t end = size;
  bool inMovie = false;
  while (at + 8 <= end) {
    std::size_t boxSize = read32(at);
    if (boxSize < 8)
      return std::nullopt; // 64-bit or open-ended sizes are not ours to follow
    if (!inMovie && named(at, "moov")) {
      inMovie = true;
      end = std::min(size, at + boxSize);
      at += 8;
      continue;
    }
    if (inMovie && named(at, "mvhd")) {
      if (at + 9 > end)
        return std::nullopt;
      bool wide = head[at + 8] == 1;
      std::size_t timescaleAt = at + (wide ? 28 : 20);
      std::size_t lengthAt = timescaleAt + 4;
      if (lengthAt + (wide ? 8 : 4) > end)
        return std::nullopt;
      MovieLengthField field;
      field.timescale = read32(timescaleAt);
      if (field.timescale == 0)
        return std::nullopt;
      field.wide = wide;
      field.offset = lengthAt;
      return field;
    }
    // A box that runs past the end of what was read ends the search.
    if (boxSize > end - at)
      return std::nullopt;
    at += boxSize;
  }
  return std::nullopt;
}

} // namespace vidorel
