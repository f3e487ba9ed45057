#pragma once

// H.264 parameter sets in the two forms a movie writer meets: the Annex B
// byte stream an encoder produces (start codes) and the AVC decoder
// configuration record (avcC) with length-prefixed NAL units that QuickTime
// sample descriptions and samples use.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vidorel {

using Bytes = std::vector<std::uint8_t>;

struct AvcParameterSets {
  std::vector<Bytes> sequence; // SPS NAL units, header byte included
  std::vector<Bytes> picture;  // PPS NAL units
  int lengthSize = 4;          // bytes of each NAL length prefix in samples

  bool operator==(const AvcParameterSets&) const = default;
};

// The NAL units of an Annex B byte stream, without their start codes.
std::vector<Bytes> splitAnnexB(const std::uint8_t* data, std::size_t size);

// The parameter sets of an avcC record; nothing when it is malformed.
std::optional<AvcParameterSets> parseAvcConfig(const Bytes& config);

// The parameter sets found in an Annex B stream (an encoder's global header).
AvcParameterSets parameterSetsFromAnnexB(const std::uint8_t* data, std::size_t size);

// An avcC record for these parameter sets (4-byte lengths). High profiles
// get the 4:2:0 8-bit chroma fields that the format requires of them.
Bytes makeAvcConfig(const AvcParameterSets& sets);

// One Annex B access unit as a sample: each NAL unit prefixed by its
// 4-byte big-endian length.
Bytes annexBToLengthPrefixed(const std::uint8_t* data, std::size_t size);

} // namespace vidorel
