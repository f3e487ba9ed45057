#include "base/files.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>

namespace vidorel {
namespace fs = std::filesystem;

namespace {

std::error_code lastError() {
  return std::error_code(errno, std::generic_category());
}

std::error_code writeAll(int fd, std::string_view contents) {
  const char* data = contents.data();
  size_t left = contents.size();
  while (left > 0) {
    ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR)
        continue;
      return lastError();
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
  return {};
}

} // namespace

std::error_code syncFolder(const fs::path& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return lastError();
  std::error_code error;
  if (::fsync(fd) != 0)
    error = lastError();
  ::close(fd);
  return error;
}

std::error_code writeFileAtomically(const fs::path& path, std::string_view contents) {
  fs::path temporary = path;
  temporary += ".tmp";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    return lastError();
  std::error_code error = writeAll(fd, contents);
  if (!error && ::fsync(fd) != 0)
    error = lastError();
  if (::close(fd) != 0 && !error)
    error = lastError();
  if (!error && ::rename(temporary.c_str(), path.c_str()) != 0)
    error = lastError();
  if (error) {
    ::unlink(temporary.c_str());
    return error;
  }
  fs::path folder = path.parent_path();
  return syncFolder(folder.empty() ? fs::path(".") : folder);
}

std::error_code copyFolder(const fs::path& source, const fs::path& destination) {
  std::error_code error;
  if (fs::exists(destination, error))
    return std::make_error_code(std::errc::file_exists);
  fs::copy(source, destination, fs::copy_options::recursive, error);
  if (error) {
    std::error_code ignored;
    fs::remove_all(destination, ignored);
  }
  return error;
}

std::error_code moveItem(const fs::path& source, const fs::path& destination) {
  std::error_code error;
  if (fs::exists(destination, error))
    return std::make_error_code(std::errc::file_exists);
  if (::rename(source.c_str(), destination.c_str()) == 0)
    return {};
  if (errno != EXDEV)
    return lastError();
  if (fs::is_directory(source, error))
    error = copyFolder(source, destination);
  else
    fs::copy_file(source, destination, error);
  if (error) {
    std::error_code ignored;
    fs::remove_all(destination, ignored);
    return error;
  }
  fs::remove_all(source, error);
  return error;
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
