#pragma once

#include <filesystem>
#include <optional>
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

// What is at path when something is there that is not a regular file
// ("folder", "named pipe", "device", "socket"), a link followed; nothing
// when path is a regular file or cannot be looked at. Never blocks.
std::optional<std::string> nonRegularKind(const std::filesystem::path& path);

// Copies the regular file from (a link to one is followed) to a new file
// to, created exclusively (an existing entry, a link included, fails with
// file_exists) with from's permissions, and syncs it. A pipe or device at
// from fails at once with FileError::notRegularFile. The folder holding to
// is the caller's to sync.
std::error_code copyFileDurably(const std::filesystem::path& from, const std::filesystem::path& to);

// A new file that is to take destination's place once it is complete:
// written, synced, renamed over destination, the folder synced. While it is
// written it has no name where the file system allows (O_TMPFILE in
// destination's folder), so a process killed meanwhile leaves nothing
// behind; elsewhere it is a hidden ".NAME.UUID.tmp" beside destination.
// The file is locked (flock) while it is open, so that the leftover of a
// killed writer can be told from a file still being written: create()
// removes such leftovers for the same destination first.
class ReplacementFile {
public:
  ReplacementFile() = default;
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  std::error_code create(const std::filesystem::path& destination);
  // Where to write; valid from create() to commit() or discard().
  int descriptor() const { return fd_; }
  // True while the file has no name in the folder.
  bool isUnnamed() const { return fd_ >= 0 && named_.empty(); }
  // Syncs the file and puts it in destination's place in one rename (an
  // existing file there is replaced), closes it and syncs the folder. On
  // failure destination is as it was and the file is gone.
  std::error_code commit();
  // Closes and removes the file; destination is left as it was.
  void discard();

private:
  std::filesystem::path destination_;
  std::filesystem::path named_; // the file's name once it has one
  int fd_ = -1;
};

// Removes what writers of a ReplacementFile for destination left when they
// were killed: entries beside destination named ".NAME.UUID.tmp" that are
// regular files of this user, locked by no one.
void removeStaleTemporaries(const std::filesystem::path& destination);

// Removes path if it is a regular file of this user that no writer holds
// locked (flock), the way our writers keep their temporaries while at work;
// never follows a link. True when it was removed.
bool removeAbandonedFile(const std::filesystem::path& path);

// errno of the calling thread as an error code.
std::error_code lastError();

// Writes all of data to fd, going on after interrupted and short writes.
std::error_code writeAll(int fd, const void* data, std::size_t size);

// fsync of a folder, so that renames and new entries in it are durable.
std::error_code syncFolder(const std::filesystem::path& folder);

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
