#pragma once

#include <string>
#include <string_view>

namespace vidorel {

// Case mapping of UTF-8 text for key names and key equivalents. Covers the
// scripts keyboard layouts put on letter keys: Latin (Basic, Latin-1,
// Extended-A), Greek and Cyrillic; other characters and malformed bytes are
// kept as they are.
std::string upperCased(std::string_view text);
std::string lowerCased(std::string_view text);

} // namespace vidorel
