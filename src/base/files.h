#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace vidorel {

// Errors of the file helpers that have no errno of their own.
enum class FileError {
  // A pipe, device, socket or folder where a plain file was expected.
  notRegularFile = 1,
};
const std::error_category& fileErrorCategory();
std::error_code make_error_code(FileError error);

// Writes contents to path + ".tmp", flushes it to disk, renames it over
// path and syncs the folder: after a crash at any instant path holds either
// the old or the new contents, complete. The temporary file is created
// fresh: whatever is at its name (a leftover, a symlink planted there) is
// removed first and the file is created exclusively without following a
// link, so the write can never land outside the folder.
std::error_code writeFileAtomically(const std::filesystem::path& path, std::string_view contents);

// The whole of a regular file (a symlink to one is followed). Anything else
// (a named pipe, a device, a folder) fails at once with
// FileError::notRegularFile; nothing here waits for a writer.
std::error_code readRegularFile(const std::filesystem::path& path, std::string& contents);

// True when path names a regular file (following a symlink); never blocks.
bool isRegularFile(const std::filesystem::path& path);

// Copies the regular file from (a link to one is followed) to a new file
// to, created exclusively (an existing entry, a link included, fails with
// file_exists) with from's permissions, and syncs it. A pipe or device at
// from fails at once with FileError::notRegularFile. The folder holding to
// is the caller's to sync.
std::error_code copyFileDurably(const std::filesystem::path& from, const std::filesystem::path& to);

// fsync of a folder, so that renames and new entries in it are durable.
std::error_code syncFolder(const std::filesystem::path& folder);

// Moves a file or folder to destination (which must not exist). Within one
// file system this is one rename. Across file systems the source is copied,
// every copied file and folder is synced, and only then is the source
// removed; a failed copy removes its partial copy and leaves the source as
// it was.
std::error_code moveItem(const std::filesystem::path& source,
                         const std::filesystem::path& destination);

// Copies a folder tree to destination (which must not exist); every file
// and folder of the copy is synced to disk before this returns, and so is
// the folder that receives it. Symlinks are copied as links (never
// followed); pipes, devices and sockets are left out. On failure the
// partial copy is removed.
std::error_code copyFolder(const std::filesystem::path& source,
                           const std::filesystem::path& destination);

// The folder holding path, or "." for a bare name.
std::filesystem::path parentFolder(const std::filesystem::path& path);

// True when child is folder itself or lies somewhere below it (both made
// absolute and normalised lexically first).
bool isWithin(const std::filesystem::path& child, const std::filesystem::path& folder);

} // namespace vidorel

template <> struct std::is_error_code_enum<vidorel::FileError> : std::true_type {};
