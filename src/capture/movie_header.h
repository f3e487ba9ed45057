#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vidorel {

// Where a QuickTime movie states its length: the duration field of the
// movie header box ('moov' > 'mvhd').
struct MovieLengthField {
  std::size_t offset = 0;      // of the field, from the start of the file
  bool wide = false;           // 8 bytes (a version 1 header), else 4
  std::uint32_t timescale = 0; // units of the field per second, never 0

  bool operator==(const MovieLengthField&) const = default;
};

// Finds that field among the boxes at the start of a file, given its first
// size bytes. Nothing when the boxes have another shape (64-bit or
// open-ended sizes, no movie header, a timescale of 0) or when the field
// does not lie wholly inside the header box and inside these bytes.
std::optional<MovieLengthField> findMovieLengthField(const std::uint8_t* head, std::size_t size);

} // namespace vidorel
