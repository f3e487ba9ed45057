// Feeds arbitrary bytes, as the first block of a take file, to the search
// for the movie header's length field. A field found must lie inside the
// bytes and name a usable timescale: the take writer rewrites it in place.

#include "capture/movie_header.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  using namespace vidorel;
  // A copy of exactly size bytes, so that ASan sees a read past them.
  std::vector<std::uint8_t> head(data, data + size);
  std::optional<MovieLengthField> field = findMovieLengthField(head.data(), head.size());
  if (field && (field->offset + (field->wide ? 8 : 4) > size || field->timescale == 0))
    std::abort();
  return 0;
}
