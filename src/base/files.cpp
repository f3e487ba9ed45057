#include "base/files.h"

#include "base/uuid.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <iterator>
#include <memory>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vidorel {
namespace fs = std::filesystem;

namespace {

class FileErrorCategory final : public std::error_category {
public:
  const char* name() const noexcept override { return "file"; }
  std::string message(int code) const override {
    switch (static_cast<FileError>(code)) {
    case FileError::notRegularFile:
      return "Not a regular file";
    }
    return "Unknown file error";
  }
};

// Closes a descriptor when it goes out of scope.
class Descriptor {
public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes now, so that a failing close (a late write error on some file
  // systems) can be reported.
  std::error_code close() {
    int fd = fd_;
    fd_ = -1;
    if (fd >= 0 && ::close(fd) != 0)
      return lastError();
    return {};
  }

private:
  int fd_;
};

// Removes path when something is there; a missing entry is no error.
std::error_code unlinkIfPresent(const fs::path& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT)
    return lastError();
  return {};
}

} // namespace

std::error_code lastError() {
  return std::error_code(errno, std::generic_category());
}

std::error_code writeAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t written = ::write(fd, bytes, size);
    if (written < 0) {
      if (errno == EINTR)
        continue;
      return lastError();
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return {};
}

std::error_code copyFileDurably(const fs::path& from, const fs::path& to) {
  // Non-blocking, so that a pipe at from is refused by the check below
  // instead of waiting for its writer.
  Descriptor in(::open(from.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!in.valid())
    return lastError();
  struct stat info {};
  if (::fstat(in.get(), &info) != 0)
    return lastError();
  if (!S_ISREG(info.st_mode))
    return make_error_code(FileError::notRegularFile);
  Descriptor out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        info.st_mode & 07777));
  if (!out.valid())
    return lastError();
  constexpr size_t bufferSize = 1 << 20;
  std::unique_ptr<char[]> buffer(new char[bufferSize]);
  for (;;) {
    ssize_t count = ::read(in.get(), buffer.get(), bufferSize);
    if (count < 0) {
      if (errno == EINTR)
        continue;
      return lastError();
    }
    if (count == 0)
      break;
    if (std::error_code error = writeAll(out.get(), buffer.get(), static_cast<size_t>(count)))
      return error;
  }
  if (::fsync(out.get()) != 0)
    return lastError();
  return out.close();
}

namespace {

// Copies from (a folder, file or link; a link is copied as a link) to the
// new entry to. Every folder is synced after its entries are in it, so once
// this returns the whole copy is on disk except the entry for to itself.
std::error_code copyTree(const fs::path& from, const fs::path& to, bool followTop) {
  struct stat info {};
  int result = followTop ? ::stat(from.c_str(), &info) : ::lstat(from.c_str(), &info);
  if (result != 0)
    return lastError();
  if (S_ISREG(info.st_mode))
    return copyFileDurably(from, to);
  if (S_ISLNK(info.st_mode)) {
    std::error_code error;
    fs::path target = fs::read_symlink(from, error);
    if (error)
      return error;
    fs::create_symlink(target, to, error);
    return error;
  }
  if (!S_ISDIR(info.st_mode)) {
    // A pipe, device or socket holds nothing that can be copied (reading a
    // pipe would wait for a writer); such an entry is left out.
    return {};
  }
  if (::mkdir(to.c_str(), (info.st_mode & 07777) | S_IRWXU) != 0)
    return lastError();
  std::error_code error;
  fs::directory_iterator entries(from, error);
  if (error)
    return error;
  std::vector<fs::path> children;
  for (; entries != fs::directory_iterator(); entries.increment(error)) {
    if (error)
      return error;
    children.push_back(entries->path().filename());
  }
  for (const fs::path& child : children)
    if (std::error_code childError = copyTree(from / child, to / child, false))
      return childError;
  return syncFolder(to);
}

} // namespace

const std::error_category& fileErrorCategory() {
  static const FileErrorCategory category;
  return category;
}

std::error_code make_error_code(FileError error) {
  return {static_cast<int>(error), fileErrorCategory()};
}

fs::path parentFolder(const fs::path& path) {
  fs::path folder = path.parent_path();
  return folder.empty() ? fs::path(".") : folder;
}

std::error_code syncFolder(const fs::path& folder) {
  Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid())
    return lastError();
  if (::fsync(fd.get()) != 0)
    return lastError();
  return fd.close();
}

std::error_code writeFileAtomically(const fs::path& path, std::string_view contents) {
  fs::path temporary = path;
  temporary += ".tmp";
  // Unlinking a symlink removes the link, never its target; a folder at the
  // name fails here and the old file stays as it was.
  if (std::error_code error = unlinkIfPresent(temporary))
    return error;
  Descriptor fd(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!fd.valid())
    return lastError();
  std::error_code error = writeAll(fd.get(), contents.data(), contents.size());
  if (!error && ::fsync(fd.get()) != 0)
    error = lastError();
  if (std::error_code closeError = fd.close(); !error)
    error = closeError;
  // rename replaces whatever entry holds the final name (a link included)
  // and never writes through it.
  if (!error && ::rename(temporary.c_str(), path.c_str()) != 0)
    error = lastError();
  if (error) {
    ::unlink(temporary.c_str());
    return error;
  }
  return syncFolder(parentFolder(path));
}

std::error_code readRegularFile(const fs::path& path, std::string& contents) {
  // The type is looked at before opening, so that opening never waits for
  // the writer of a pipe or wakes a device; the descriptor is checked again
  // in case the entry was swapped in between.
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0)
    return lastError();
  if (!S_ISREG(info.st_mode))
    return make_error_code(FileError::notRegularFile);
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid())
    return lastError();
  if (::fstat(fd.get(), &info) != 0)
    return lastError();
  if (!S_ISREG(info.st_mode))
    return make_error_code(FileError::notRegularFile);
  contents.clear();
  char buffer[65536];
  for (;;) {
    ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EINTR)
        continue;
      return lastError();
    }
    if (count == 0)
      break;
    contents.append(buffer, static_cast<size_t>(count));
  }
  return {};
}

bool isRegularFile(const fs::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::optional<std::string> nonRegularKind(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode))
    return std::nullopt;
  if (S_ISDIR(info.st_mode))
    return "folder";
  if (S_ISFIFO(info.st_mode))
    return "named pipe";
  if (S_ISSOCK(info.st_mode))
    return "socket";
  return "device";
}

namespace {

// The whole copy on disk, its entry included; a copy that fails half-way
// is removed again.
std::error_code copyTreeWhole(const fs::path& source, const fs::path& destination, bool followTop) {
  std::error_code error = copyTree(source, destination, followTop);
  if (!error)
    error = syncFolder(parentFolder(destination));
  if (error) {
    std::error_code ignored;
    fs::remove_all(destination, ignored);
  }
  return error;
}

} // namespace

std::error_code copyFolder(const fs::path& source, const fs::path& destination) {
  std::error_code error;
  if (fs::exists(fs::symlink_status(destination, error)))
    return std::make_error_code(std::errc::file_exists);
  return copyTreeWhole(source, destination, true);
}

namespace {

// The name a ReplacementFile's temporary for destination has in the folder.
fs::path temporaryNameFor(const fs::path& destination) {
  return parentFolder(destination) /
         ("." + destination.filename().string() + "." + Uuid::random().string() + ".tmp");
}

bool isTemporaryNameFor(const std::string& name, const fs::path& destination) {
  std::string prefix = "." + destination.filename().string() + ".";
  std::string suffix = ".tmp";
  constexpr std::size_t kUuidLength = 36;
  if (name.size() != prefix.size() + kUuidLength + suffix.size())
    return false;
  if (name.compare(0, prefix.size(), prefix) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
    return false;
  return Uuid::parse(std::string_view(name).substr(prefix.size(), kUuidLength)).has_value();
}

// Gives the unnamed file fd the name path. Through /proc where it is
// mounted; otherwise by the descriptor itself, which needs privileges.
bool linkUnnamed(int fd, const fs::path& path) {
  std::string proc = "/proc/self/fd/" + std::to_string(fd);
  if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0)
    return true;
  return ::linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0;
}

} // namespace

ReplacementFile::~ReplacementFile() {
  discard();
}

std::error_code ReplacementFile::create(const fs::path& destination) {
  discard();
  destination_ = destination;
  removeStaleTemporaries(destination);
  fs::path folder = parentFolder(destination);
  fd_ = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    // The file system has no unnamed files (or the folder cannot be
    // written, which the named file reports as well).
    named_ = temporaryNameFor(destination);
    fd_ = ::open(named_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      std::error_code error = lastError();
      named_.clear();
      return error;
    }
  }
  // Never contended: the file is new. Where locks are not supported the
  // file is merely never seen as in use.
  ::flock(fd_, LOCK_EX | LOCK_NB);
  return {};
}

std::error_code ReplacementFile::commit() {
  if (fd_ < 0)
    return std::make_error_code(std::errc::bad_file_descriptor);
  std::error_code error;
  if (::fsync(fd_) != 0)
    error = lastError();
  if (!error && named_.empty()) {
    // A link cannot replace an entry: the file gets a name of its own,
    // which the rename moves over destination at once.
    fs::path name = temporaryNameFor(destination_);
    if (linkUnnamed(fd_, name))
      named_ = name;
    else
      error = lastError();
  }
  if (!error && ::rename(named_.c_str(), destination_.c_str()) != 0)
    error = lastError();
  if (error) {
    discard();
    return error;
  }
  named_.clear();
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0)
    return lastError();
  return syncFolder(parentFolder(destination_));
}

void ReplacementFile::discard() {
  if (!named_.empty())
    ::unlink(named_.c_str());
  named_.clear();
  if (fd_ >= 0)
    ::close(fd_);
  fd_ = -1;
}

bool removeAbandonedFile(const fs::path& path) {
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat opened {};
  if (!fd.valid() || ::fstat(fd.get(), &opened) != 0)
    return false;
  if (!S_ISREG(opened.st_mode) || opened.st_uid != ::geteuid())
    return false;
  // A writer that still runs holds the lock.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
    return false;
  // Still the file that was checked, not one put at the name since.
  struct stat named {};
  if (::lstat(path.c_str(), &named) != 0 || named.st_dev != opened.st_dev ||
      named.st_ino != opened.st_ino)
    return false;
  return ::unlink(path.c_str()) == 0;
}

void removeStaleTemporaries(const fs::path& destination) {
  std::error_code error;
  for (fs::directory_iterator it(parentFolder(destination), error), end; !error && it != end;
       it.increment(error)) {
    fs::path path = it->path();
    if (isTemporaryNameFor(path.filename().string(), destination))
      removeAbandonedFile(path);
  }
}

bool isWithin(const fs::path& child, const fs::path& folder) {
  std::error_code error;
  fs::path c = fs::weakly_canonical(fs::absolute(child, error), error).lexically_normal();
  fs::path f = fs::weakly_canonical(fs::absolute(folder, error), error).lexically_normal();
  auto [folderEnd, childIt] = std::mismatch(f.begin(), f.end(), c.begin(), c.end());
  (void)childIt;
  // A trailing separator leaves an empty last element on folder.
  return folderEnd == f.end() || (std::next(folderEnd) == f.end() && folderEnd->empty());
}

} // namespace vidorel
