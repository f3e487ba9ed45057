#pragma once

// Big-endian serialisation of QuickTime boxes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vidorel {

inline constexpr std::uint32_t kFixedOne = 0x00010000;

// begin() leaves room for the size, which
// end() fills in once the box's contents are known.
class BoxWriter {
public:
  void u8(std::uint8_t value) { bytes_.push_back(value); }
  void u16(std::uint16_t value) {
    u8(static_cast<std::uint8_t>(value >> 8));
    u8(static_cast<std::uint8_t>(value));
  }
  void u24(std::uint32_t value) {
    u8(static_cast<std::uint8_t>(value >> 16));
    u16(static_cast<std::uint16_t>(value));
  }
  void u32(std::uint32_t value) {
    u16(static_cast<std::uint16_t>(value >> 16));
    u16(static_cast<std::uint16_t>(value));
  }
  void u64(std::uint64_t value) {
    u32(static_cast<std::uint32_t>(value >> 32));
    u32(static_cast<std::uint32_t>(value));
  }
  void fourcc(const char* code) { bytes_.insert(bytes_.end(), code, code + 4); }
  void zeros(std::size_t count) { bytes_.insert(bytes_.end(), count, 0); }
  void bytes(const std::vector<std::uint8_t>& data) {
    bytes_.insert(bytes_.end(), data.begin(), data.end());
  }
  // A counted string in a field of fieldSize bytes (0: just as long as it is).
  void pascalString(const std::string& text, std::size_t fieldSize = 0) {
    std::size_t length = std::min<std::size_t>(text.size(), 255);
    if (fieldSize > 0)
      length = std::min(length, fieldSize - 1);
    u8(static_cast<std::uint8_t>(length));
    bytes_.insert(bytes_.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
    if (fieldSize > 0)
      zeros(fieldSize - 1 - length);
  }
  void matrix() {
    const std::uint32_t values[9] = {kFixedOne, 0, 0, 0, kFixedOne, 0, 0, 0, 0x40000000};
    for (std::uint32_t value : values)
      u32(value);
  }

  std::size_t begin(const char* type) {
    std::size_t start = bytes_.size();
    u32(0);
    fourcc(type);
    return start;
  }
  std::size_t beginFull(const char* type, std::uint8_t version, std::uint32_t flags) {
    std::size_t start = begin(type);
    u8(version);
    u24(flags);
    return start;
  }
  void end(std::size_t start) {
    auto size = static_cast<std::uint32_t>(bytes_.size() - start);
    for (int i = 0; i < 4; ++i)
      bytes_[start + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
  }

  // An MPEG-4 descriptor header with the four-byte length form.
  std::size_t beginDescriptor(std::uint8_t tag) {
    u8(tag);
    std::size_t start = bytes_.size();
    u32(0);
    return start;
  }
  void endDescriptor(std::size_t start) {
    auto length = static_cast<std::uint32_t>(bytes_.size() - start - 4);
    bytes_[start] = static_cast<std::uint8_t>(0x80 | ((length >> 21) & 0x7f));
    bytes_[start + 1] = static_cast<std::uint8_t>(0x80 | ((length >> 14) & 0x7f));
    bytes_[start + 2] = static_cast<std::uint8_t>(0x80 | ((length >> 7) & 0x7f));
    bytes_[start + 3] = static_cast<std::uint8_t>(length & 0x7f);
  }

  std::vector<std::uint8_t> take() { return std::move(bytes_); }

private:
  std::vector<std::uint8_t> bytes_;
};

} // namespace vidorel
