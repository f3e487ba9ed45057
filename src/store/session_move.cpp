#include "store/session_move.h"

#include "base/files.h"
#include "base/uuid.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace vidorel {
namespace fs = std::filesystem;

namespace {

std::error_code renameItem(const fs::path& from, const fs::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0)
    return {errno, std::generic_category()};
  return {};
}

fs::path besides(const fs::path& destination, const char* what) {
  fs::path path = destination;
  path += std::string(".") + what + "-" + Uuid::random().string();
  return path;
}

// Puts the item set aside back at the destination after a failed move.
void restore(const fs::path& aside, const fs::path& destination) {
  if (aside.empty())
    return;
  std::error_code ignored = renameItem(aside, destination);
  (void)ignored;
}

} // namespace

std::error_code placeSessionFolder(const fs::path& source, const fs::path& destination,
                                   const SessionMoveOptions& options) {
  auto stopAfter = [&](SessionMoveStep step) { return options.proceed && !options.proceed(step); };
  const std::error_code interrupted = std::make_error_code(std::errc::interrupted);
  const fs::path parent = parentFolder(destination);
  std::error_code error;
  bool replacing = fs::exists(fs::symlink_status(destination, error));

  if (!options.keepSource && !options.alwaysCopy) {
    // One rename: before it the session is whole in source, after it whole
    // at the destination.
    fs::path aside;
    if (replacing) {
      aside = besides(destination, "replaced");
      if (std::error_code asideError = renameItem(destination, aside))
        return asideError;
      if (stopAfter(SessionMoveStep::replacedSetAside))
        return interrupted;
    }
    error = renameItem(source, destination);
    if (!error) {
      syncFolder(parent);
      syncFolder(parentFolder(source));
      if (stopAfter(SessionMoveStep::placed))
        return interrupted;
      if (!aside.empty()) {
        std::error_code ignored;
        fs::remove_all(aside, ignored);
      }
      return {};
    }
    restore(aside, destination);
    if (error != std::errc::cross_device_link)
      return error;
  }

  // Copying: the source is kept whole until the copy is complete at the
  // destination, so the session is never only in the staging folder.
  fs::path staging = besides(destination, "saving");
  if ((error = copyFolder(source, staging)))
    return error;
  if (stopAfter(SessionMoveStep::copied))
    return interrupted;
  fs::path aside;
  if (replacing) {
    aside = besides(destination, "replaced");
    if ((error = renameItem(destination, aside))) {
      std::error_code ignored;
      fs::remove_all(staging, ignored);
      return error;
    }
    if (stopAfter(SessionMoveStep::replacedSetAside))
      return interrupted;
  }
  if ((error = renameItem(staging, destination))) {
    restore(aside, destination);
    std::error_code ignored;
    fs::remove_all(staging, ignored);
    return error;
  }
  syncFolder(parent);
  if (stopAfter(SessionMoveStep::placed))
    return interrupted;
  if (!options.keepSource) {
    // The recovery scan lists a folder by its manifest: once that is gone
    // (and the removal is on disk) the leftover is only space to free.
    ::unlink((source / "manifest.json").c_str());
    syncFolder(source);
    if (stopAfter(SessionMoveStep::sourceUnlisted))
      return interrupted;
    std::error_code ignored;
    fs::remove_all(source, ignored);
    syncFolder(parentFolder(source));
  }
  if (!aside.empty()) {
    std::error_code ignored;
    fs::remove_all(aside, ignored);
  }
  return {};
}

} // namespace vidorel
