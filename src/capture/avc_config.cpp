#include "capture/avc_config.h"

namespace vidorel {

namespace {
constexpr std::size_t kNoUnit = static_cast<std::size_t>(-1);
} // namespace

std::vector<Bytes> splitAnnexB(const std::uint8_t* data, std::size_t size) {
  std::vector<Bytes> units;
  std::size_t at = 0;
  std::size_t start = kNoUnit;
  // Start codes are 00 00 01, possibly after more zero bytes; the zeros
  // before a start code belong to neither unit.
  auto finish = [&](std::size_t end) {
    if (start == kNoUnit)
      return;
    while (end > start && data[end - 1] == 0)
      --end;
    if (end > start)
      units.emplace_back(data + start, data + end);
  };
  while (at + 2 < size) {
    if (data[at] == 0 && data[at + 1] == 0 && data[at + 2] == 1) {
      finish(at);
      at += 3;
      start = at;
      continue;
    }
    ++at;
  }
  finish(size);
  return units;
}

std::optional<AvcParameterSets> parseAvcConfig(const Bytes& config) {
  if (config.size() < 7 || config[0] != 1)
    return std::nullopt;
  AvcParameterSets sets;
  sets.lengthSize = (config[4] & 3) + 1;
  std::size_t at = 5;
  auto readUnits = [&](int count, std::vector<Bytes>& into) {
    for (int i = 0; i < count; ++i) {
      if (at + 2 > config.size())
        return false;
      std::size_t length = (static_cast<std::size_t>(config[at]) << 8) | config[at + 1];
      at += 2;
      if (at + length > config.size())
        return false;
      into.emplace_back(config.begin() + static_cast<std::ptrdiff_t>(at),
                        config.begin() + static_cast<std::ptrdiff_t>(at + length));
      at += length;
    }
    return true;
  };
  if (!readUnits(config[at++] & 0x1f, sets.sequence))
    return std::nullopt;
  if (at >= config.size())
    return std::nullopt;
  if (!readUnits(config[at++], sets.picture))
    return std::nullopt;
  return sets;
}

AvcParameterSets parameterSetsFromAnnexB(const std::uint8_t* data, std::size_t size) {
  AvcParameterSets sets;
  for (Bytes& unit : splitAnnexB(data, size)) {
    int type = unit[0] & 0x1f;
    if (type == 7)
      sets.sequence.push_back(std::move(unit));
    else if (type == 8)
      sets.picture.push_back(std::move(unit));
  }
  return sets;
}

Bytes makeAvcConfig(const AvcParameterSets& sets) {
  Bytes config;
  if (sets.sequence.empty() || sets.sequence.front().size() < 4)
    return config;
  const Bytes& first = sets.sequence.front();
  config = {1,        first[1], first[2],
            first[3], 0xff,     static_cast<std::uint8_t>(0xe0 | sets.sequence.size())};
  auto append = [&](const Bytes& unit) {
    config.push_back(static_cast<std::uint8_t>(unit.size() >> 8));
    config.push_back(static_cast<std::uint8_t>(unit.size()));
    config.insert(config.end(), unit.begin(), unit.end());
  };
  for (const Bytes& unit : sets.sequence)
    append(unit);
  config.push_back(static_cast<std::uint8_t>(sets.picture.size()));
  for (const Bytes& unit : sets.picture)
    append(unit);
  int profile = first[1];
  if (profile == 100 || profile == 110 || profile == 122 || profile == 144) {
    config.push_back(0xfc | 1); // chroma 4:2:0
    config.push_back(0xf8);     // luma bit depth 8
    config.push_back(0xf8);     // chroma bit depth 8
    config.push_back(0);        // no SPS extensions
  }
  return config;
}

Bytes annexBToLengthPrefixed(const std::uint8_t* data, std::size_t size) {
  Bytes sample;
  sample.reserve(size + 16);
  for (const Bytes& unit : splitAnnexB(data, size)) {
    auto length = static_cast<std::uint32_t>(unit.size());
    for (int shift = 24; shift >= 0; shift -= 8)
      sample.push_back(static_cast<std::uint8_t>(length >> shift));
    sample.insert(sample.end(), unit.begin(), unit.end());
  }
  return sample;
}

} // namespace vidorel
