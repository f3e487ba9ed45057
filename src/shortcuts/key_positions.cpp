#include "shortcuts/key_positions.h"

#include <array>

namespace vidorel {

namespace {

struct KeyPosition {
  std::uint32_t carbon;
  std::uint32_t x11;
  const char* usText; // what the key types on a US layout; "" for none
};

// Ordered by Carbon code.
constexpr std::array<KeyPosition, 104> kKeys = {{
    {0x00, 38, "a"}, {0x01, 39, "s"},  {0x02, 40, "d"},   {0x03, 41, "f"},  {0x04, 43, "h"},
    {0x05, 42, "g"}, {0x06, 52, "z"},  {0x07, 53, "x"},   {0x08, 54, "c"},  {0x09, 55, "v"},
    {0x0A, 94, "<"}, {0x0B, 56, "b"},  {0x0C, 24, "q"},   {0x0D, 25, "w"},  {0x0E, 26, "e"},
    {0x0F, 27, "r"}, {0x10, 29, "y"},  {0x11, 28, "t"},   {0x12, 10, "1"},  {0x13, 11, "2"},
    {0x14, 12, "3"}, {0x15, 13, "4"},  {0x16, 15, "6"},   {0x17, 14, "5"},  {0x18, 21, "="},
    {0x19, 18, "9"}, {0x1A, 16, "7"},  {0x1B, 20, "-"},   {0x1C, 17, "8"},  {0x1D, 19, "0"},
    {0x1E, 35, "]"}, {0x1F, 32, "o"},  {0x20, 30, "u"},   {0x21, 34, "["},  {0x22, 31, "i"},
    {0x23, 33, "p"}, {0x24, 36, "\r"}, {0x25, 46, "l"},   {0x26, 44, "j"},  {0x27, 48, "'"},
    {0x28, 45, "k"}, {0x29, 47, ";"},  {0x2A, 51, "\\"},  {0x2B, 59, ","},  {0x2C, 61, "/"},
    {0x2D, 57, "n"}, {0x2E, 58, "m"},  {0x2F, 60, "."},   {0x30, 23, "\t"}, {0x31, 65, " "},
    {0x32, 49, "`"}, {0x33, 22, "\b"}, {0x35, 9, "\x1b"}, {0x36, 105, ""},  {0x37, 37, ""},
    {0x38, 50, ""},  {0x39, 66, ""},   {0x3A, 64, ""},    {0x3B, 133, ""},  {0x3C, 62, ""},
    {0x3D, 108, ""}, {0x3E, 134, ""},  {0x41, 91, "."},   {0x43, 63, "*"},  {0x45, 86, "+"},
    {0x47, 77, ""},  {0x4B, 106, "/"}, {0x4C, 104, "\r"}, {0x4E, 82, "-"},  {0x52, 90, "0"},
    {0x53, 87, "1"}, {0x54, 88, "2"},  {0x55, 89, "3"},   {0x56, 83, "4"},  {0x57, 84, "5"},
    {0x58, 85, "6"}, {0x59, 79, "7"},  {0x5B, 80, "8"},   {0x5C, 81, "9"},  {0x60, 71, ""},
    {0x61, 72, ""},  {0x62, 73, ""},   {0x63, 69, ""},    {0x64, 74, ""},   {0x65, 75, ""},
    {0x67, 95, ""},  {0x69, 107, ""},  {0x6B, 78, ""},    {0x6D, 76, ""},   {0x6F, 96, ""},
    {0x72, 118, ""}, {0x73, 110, ""},  {0x74, 112, ""},   {0x75, 119, ""},  {0x76, 70, ""},
    {0x77, 115, ""}, {0x78, 68, ""},   {0x79, 117, ""},   {0x7A, 67, ""},   {0x7B, 113, ""},
    {0x7C, 114, ""}, {0x7D, 116, ""},  {0x7E, 111, ""},   {0x6E, 135, ""},
}};

class UsKeyboardLayout final : public KeyboardLayout {
public:
  std::string keyText(std::uint32_t carbonKeyCode) const override {
    for (const KeyPosition& key : kKeys)
      if (key.carbon == carbonKeyCode)
        return key.usText;
    return {};
  }
};

} // namespace

std::optional<std::uint32_t> carbonPositionFromX11(std::uint32_t x11Keycode) {
  for (const KeyPosition& key : kKeys)
    if (key.x11 == x11Keycode)
      return key.carbon;
  return std::nullopt;
}

std::optional<std::uint32_t> x11PositionFromCarbon(std::uint32_t carbonKeyCode) {
  for (const KeyPosition& key : kKeys)
    if (key.carbon == carbonKeyCode)
      return key.x11;
  return std::nullopt;
}

bool isModifierKeyCode(std::uint32_t carbonKeyCode) {
  return carbonKeyCode >= 54 && carbonKeyCode <= 63;
}

const KeyboardLayout& usKeyboardLayout() {
  static const UsKeyboardLayout layout;
  return layout;
}

} // namespace vidorel
