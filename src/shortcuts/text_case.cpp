#include "shortcuts/text_case.h"

#include <cstdint>
#include <optional>

namespace vidorel {

namespace {

// Decodes one UTF-8 sequence at text[pos]; nothing when it is malformed.
std::optional<char32_t> decode(std::string_view text, std::size_t& pos) {
  auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  std::uint8_t lead = byte(pos);
  int length = 0;
  char32_t value = 0;
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    value = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    value = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    value = lead & 0x07;
  } else {
    return std::nullopt;
  }
  if (pos + length > text.size())
    return std::nullopt;
  for (int i = 1; i < length; ++i) {
    std::uint8_t next = byte(pos + i);
    if ((next & 0xC0) != 0x80)
      return std::nullopt;
    value = (value << 6) | (next & 0x3F);
  }
  static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
    return std::nullopt;
  pos += length;
  return value;
}

void encode(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Latin Extended-A pairs its letters upper/lower by parity; the parity flips
// in two runs.
bool latinExtendedAUpperIsOdd(char32_t c) {
  return (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
}

bool inLatinExtendedAPairs(char32_t c) {
  return (c >= 0x100 && c <= 0x137) || (c >= 0x139 && c <= 0x148) || (c >= 0x14A && c <= 0x177) ||
         (c >= 0x179 && c <= 0x17E);
}

char32_t toUpper(char32_t c) {
  if (c >= 'a' && c <= 'z')
    return c - 0x20;
  if (c == 0xB5)
    return 0x39C;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
    return c - 0x20;
  if (c == 0xFF)
    return 0x178;
  if (c == 0x131)
    return 'I';
  if (c == 0x17F)
    return 'S';
  if (inLatinExtendedAPairs(c)) {
    bool isLower = latinExtendedAUpperIsOdd(c) ? (c % 2 == 0) : (c % 2 == 1);
    return isLower ? c - 1 : c;
  }
  if (c == 0x3C2)
    return 0x3A3;
  if (c >= 0x3B1 && c <= 0x3CB)
    return c - 0x20;
  if (c == 0x3AC)
    return 0x386;
  if (c >= 0x3AD && c <= 0x3AF)
    return c - 0x25;
  if (c == 0x3CC)
    return 0x38C;
  if (c == 0x3CD || c == 0x3CE)
    return c - 0x3F;
  if (c >= 0x430 && c <= 0x44F)
    return c - 0x20;
  if (c >= 0x450 && c <= 0x45F)
    return c - 0x50;
  return c;
}

char32_t toLower(char32_t c) {
  if (c >= 'A' && c <= 'Z')
    return c + 0x20;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
    return c + 0x20;
  if (c == 0x178)
    return 0xFF;
  if (c == 0x130)
    return 'i';
  if (inLatinExtendedAPairs(c)) {
    bool isUpper = latinExtendedAUpperIsOdd(c) ? (c % 2 == 1) : (c % 2 == 0);
    return isUpper ? c + 1 : c;
  }
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2)
    return c + 0x20;
  if (c == 0x386)
    return 0x3AC;
  if (c >= 0x388 && c <= 0x38A)
    return c + 0x25;
  if (c == 0x38C)
    return 0x3CC;
  if (c == 0x38E || c == 0x38F)
    return c + 0x3F;
  if (c >= 0x410 && c <= 0x42F)
    return c + 0x20;
  if (c >= 0x400 && c <= 0x40F)
    return c + 0x50;
  return c;
}

template <typename Map> std::string mapText(std::string_view text, Map map) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::optional<char32_t> c = decode(text, pos);
    if (!c) {
      out += text[pos++];
      continue;
    }
    map(*c, out);
  }
  return out;
}

} // namespace

std::string upperCased(std::string_view text) {
  return mapText(text, [](char32_t c, std::string& out) {
    // Sharp s has no single upper-case letter in common use.
    if (c == 0xDF) {
      out += "SS";
      return;
    }
    encode(toUpper(c), out);
  });
}

std::string lowerCased(std::string_view text) {
  return mapText(text, [](char32_t c, std::string& out) { encode(toLower(c), out); });
}

} // namespace vidorel
