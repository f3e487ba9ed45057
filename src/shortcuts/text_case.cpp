#include "shortcuts/text_case.h"

#include "base/utf8.h"

#include <cstdint>
#include <optional>

namespace vidorel {

namespace {

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
    std::optional<char32_t> c = decodeUtf8(text, pos);
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
    appendUtf8(toUpper(c), out);
  });
}

std::string lowerCased(std::string_view text) {
  return mapText(text, [](char32_t c, std::string& out) { appendUtf8(toLower(c), out); });
}

} // namespace vidorel
