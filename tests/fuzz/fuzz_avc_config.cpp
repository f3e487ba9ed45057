// Feeds arbitrary bytes to the readers of H.264 parameter sets, as a take's
// avcC record and as an Annex B stream: a record that parses survives being
// written and read again; a length-prefixed sample holds the stream's units.

#include "capture/avc_config.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  using namespace vidorel;
  std::optional<AvcParameterSets> sets = parseAvcConfig(Bytes(data, data + size));
  if (sets && !sets->sequence.empty() && sets->sequence.front().size() >= 4) {
    std::optional<AvcParameterSets> again = parseAvcConfig(makeAvcConfig(*sets));
    if (!again || again->sequence != sets->sequence || again->picture != sets->picture)
      std::abort();
  }

  std::vector<Bytes> units = splitAnnexB(data, size);
  Bytes sample = annexBToLengthPrefixed(data, size);
  std::size_t at = 0;
  for (const Bytes& unit : units) {
    if (unit.empty() || sample.size() - at < 4 + unit.size())
      std::abort();
    std::size_t length = std::size_t{sample[at]} << 24 | std::size_t{sample[at + 1]} << 16 |
                         std::size_t{sample[at + 2]} << 8 | sample[at + 3];
    if (length != unit.size() || !std::equal(unit.begin(), unit.end(), sample.begin() + at + 4))
      std::abort();
    at += 4 + unit.size();
  }
  if (at != sample.size())
    std::abort();
  parameterSetsFromAnnexB(data, size);
  return 0;
}
