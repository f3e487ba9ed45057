#include "export/video_grid.h"

#include <algorithm>
#include <string>

namespace vidorel {

namespace {

std::int64_t nearestTick(std::int64_t time) {
  std::int64_t twice = 2 * time + VideoGrid::kFrame;
  std::int64_t tick = twice / (2 * VideoGrid::kFrame);
  if (twice < 0 && twice % (2 * VideoGrid::kFrame) != 0)
    --tick;
  return tick;
}

// The NAL units of a length-prefixed sample; nothing when it is malformed.
std::optional<std::vector<Bytes>> splitSample(const std::uint8_t* data, std::size_t size,
                                              int lengthSize) {
  std::vector<Bytes> units;
  std::size_t at = 0;
  while (at < size) {
    if (at + static_cast<std::size_t>(lengthSize) > size)
      return std::nullopt;
    std::size_t length = 0;
    for (int i = 0; i < lengthSize; ++i)
      length = (length << 8) | data[at++];
    if (length > size - at)
      return std::nullopt;
    units.emplace_back(data + at, data + at + length);
    at += length;
  }
  return units;
}

void appendUnit(const Bytes& unit, int lengthSize, Bytes& sample) {
  for (int i = lengthSize - 1; i >= 0; --i)
    sample.push_back(static_cast<std::uint8_t>(unit.size() >> (8 * i)));
  sample.insert(sample.end(), unit.begin(), unit.end());
}

} // namespace

void VideoGrid::beginSegment(const Bytes& takeConfig) {
  // The next sample is the segment's first: the numbering starts anew.
  description_ = 0;
  ownTimes_ = false;
  if (takeConfig.empty())
    return;
  std::optional<AvcParameterSets> sets = parseAvcConfig(takeConfig);
  std::string why;
  ownTimes_ = !sets || !SkipFrames::make(*sets, why);
}

void VideoGrid::fillTo(std::int64_t end, std::vector<Repeat>& repeats) {
  if (!skips_ || !lastTick_)
    return;
  for (std::int64_t tick = *lastTick_ + 1; tick * kFrame < end && skips_->canRepeat(); ++tick) {
    Repeat repeat;
    repeat.time = tick * kFrame;
    appendUnit(skips_->repeat(), lengthSize_, repeat.sample);
    repeats.push_back(std::move(repeat));
    lastTick_ = tick;
  }
}

std::int64_t VideoGrid::place(std::int64_t time, std::uint32_t description, const Bytes& config,
                              const std::uint8_t* data, std::size_t size, Bytes& rewritten,
                              std::vector<Repeat>& repeats) {
  rewritten.clear();
  std::int64_t tick = nearestTick(time);
  fillTo(tick * kFrame, repeats);
  if (description != description_) {
    // A new description starts with a key frame: the numbering starts anew.
    description_ = description;
    skips_.reset();
    std::optional<AvcParameterSets> sets = parseAvcConfig(config);
    std::string why;
    if (sets && !ownTimes_) {
      skips_ = SkipFrames::make(*sets, why);
      lengthSize_ = sets->lengthSize;
    }
  }
  if (!skips_) {
    lastTick_ = tick;
    return time;
  }
  // Two samples on one tick: the later moves on to the next.
  if (lastTick_)
    tick = std::max(tick, *lastTick_ + 1);
  lastTick_ = tick;
  std::optional<std::vector<Bytes>> units = splitSample(data, size, lengthSize_);
  bool changed = false;
  if (!units || !skips_->renumber(*units, &changed)) {
    // Numbering that cannot be followed: no more repeats in this stream.
    skips_.reset();
    return tick * kFrame;
  }
  if (changed) {
    rewritten.reserve(size + 8);
    for (const Bytes& unit : *units)
      appendUnit(unit, lengthSize_, rewritten);
  }
  return tick * kFrame;
}

} // namespace vidorel
