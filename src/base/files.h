#pragma once

#include <filesystem>
#include <string_view>
#include <system_error>

namespace vidorel {

// Writes contents to a temporary file beside path, flushes it to disk,
// renames it over path and syncs the folder: after a crash at any instant
// path holds either the old or the new contents, complete.
std::error_code writeFileAtomically(const std::filesystem::path& path, std::string_view contents);

// fsync of a folder, so that renames and new entries in it are durable.
std::error_code syncFolder(const std::filesystem::path& folder);

// Moves a file or folder to destination (which must not exist). Works across
// file systems by copying and then removing the original; a failed copy
// removes its partial copy and leaves the source as it was.
std::error_code moveItem(const std::filesystem::path& source,
                         const std::filesystem::path& destination);

// Copies a folder tree to destination (which must not exist); on failure the
// partial copy is removed.
std::error_code copyFolder(const std::filesystem::path& source,
                           const std::filesystem::path& destination);

// True when child is folder itself or lies somewhere below it (both made
// absolute and normalised lexically first).
bool isWithin(const std::filesystem::path& child, const std::filesystem::path& folder);

} // namespace vidorel
