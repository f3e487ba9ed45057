#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vidorel {

// Where the movie header ('moov' > 'mvhd') of a QuickTime file states the
// movie's length, found among the boxes at the start of the file.
struct MovieLengthField {
  std::size_t offset = 0; // of the length itself, from the file's start
  bool wide = false;      // 8 bytes (a version 1 header), else 4
  std::uint32_t timescale = 0;
};

// Reads only head[0, size); nothing when the header is not there, or not
// of a shape we write (64-bit or open-ended box sizes, a zero timescale).
std::optional<MovieLengthField> findMovieLengthField(const std::uint8_t* head, std::size_t size);

} // namespace vidorel
