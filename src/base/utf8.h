#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vidorel {

// Decodes the UTF-8 sequence at text[pos] and moves pos past it; nothing
// (pos unchanged) when the sequence is malformed, overlong, a surrogate or
// beyond U+10FFFF. pos must be within text.
std::optional<char32_t> decodeUtf8(std::string_view text, std::size_t& pos);

bool isValidUtf8(std::string_view text);

void appendUtf8(char32_t c, std::string& out);

} // namespace vidorel
