#include "export/session_exporter.h"

#include "base/files.h"

namespace vidorel {
namespace fs = std::filesystem;

namespace {

bool sameFile(const fs::path& a, const fs::path& b) {
  std::error_code error;
  return fs::equivalent(a, b, error) && !error;
}

} // namespace

bool isPlainTakeFilename(const std::string& filename) {
  return !filename.empty() && filename != "." && filename != ".." &&
         filename.find('/') == std::string::npos && filename.find('\0') == std::string::npos;
}

std::optional<ExportFailure> checkExportDestination(const std::vector<Take>& takes,
                                                    const fs::path& takesDirectory,
                                                    const fs::path& destination) {
  // The movie is renamed over whatever is at the destination, which would
  // replace a device node or a pipe (root may do so even in /dev).
  if (std::optional<std::string> kind = nonRegularKind(destination))
    return ExportFailure::platform(destination.string() + ": a " + *kind +
                                   " is there; the movie is only written to a new file or over "
                                   "a regular file");
  ExportFailure refused = ExportFailure::own(ExportError::destinationInsideSession);
  fs::path sessionFolder = takesDirectory.parent_path();
  if (sessionFolder.empty())
    sessionFolder = ".";
  if (isWithin(destination, sessionFolder))
    return refused;
  for (const Take& take : takes) {
    if (sameFile(destination, takesDirectory / take.filename))
      return refused;
  }
  return std::nullopt;
}

} // namespace vidorel
