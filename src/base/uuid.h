#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vidorel {

// A 128-bit identifier, written upper-case with hyphens
// ("E621E1F8-C36C-495A-93FC-0C247A3E6E5F") and parsed in either case.
class Uuid {
public:
  Uuid() = default; // the nil UUID
  static Uuid random();
  static std::optional<Uuid> parse(std::string_view text);

  std::string string() const;
  bool isNil() const;

  auto operator<=>(const Uuid&) const = default;
  bool operator==(const Uuid&) const = default;

  const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

private:
  std::array<std::uint8_t, 16> bytes_{};
};

} // namespace vidorel

template <> struct std::hash<vidorel::Uuid> {
  size_t operator()(const vidorel::Uuid& uuid) const noexcept {
    size_t h = 0;
    for (auto byte : uuid.bytes())
      h = h * 131 + byte;
    return h;
  }
};
