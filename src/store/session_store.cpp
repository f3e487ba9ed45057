#include "store/session_store.h"

#include "base/files.h"
#include "base/format.h"
#include "model/manifest.h"

#include <algorithm>
#include <cmath>
#include <set>

namespace vidorel {
namespace fs = std::filesystem;

ManifestError ManifestError::unreadable(std::string path, std::string underlying) {
  return {Kind::unreadable, std::move(path), std::move(underlying)};
}

ManifestError ManifestError::corrupt(std::string path, std::string underlying) {
  return {Kind::corrupt, std::move(path), std::move(underlying)};
}

std::string ManifestError::description() const {
  switch (kind) {
  case Kind::unreadable:
    return "Cannot read manifest.json at " + path + ". " + underlying + ".";
  case Kind::corrupt:
    return "manifest.json at " + path + " is corrupt or has an unsupported format.\n\n" +
           underlying;
  }
  return {};
}

namespace {

std::string lastComponent(const fs::path& folder) {
  fs::path name = folder.filename();
  if (name.empty())
    name = folder.parent_path().filename();
  return name.string();
}

// Why these manifest bytes would fail to load, or nothing when they load.
std::optional<std::string> loadProblem(std::string_view bytes) {
  Expected<SessionManifest, DecodingError> decoded = decodeManifest(bytes);
  if (!decoded)
    return decoded.error().description();
  if (std::optional<ValidationError> invalid = decoded->validate())
    return invalid->description();
  return std::nullopt;
}

} // namespace

std::error_code SessionStore::save(const Session& session) {
  const fs::path& folder = session.activeFolder();
  Expected<std::string, std::error_code> bytes = encodeManifest(SessionManifest(session));
  if (!bytes)
    return bytes.error();
  // The bytes go through the same checks a load applies, so that a save
  // can never replace a good manifest with one that no longer opens.
  if (std::optional<std::string> problem = loadProblem(*bytes)) {
    logger_.error(LogCategory::persistence,
                  formatString("refused to save manifest to %s: %s", lastComponent(folder).c_str(),
                               problem->c_str()));
    return make_error_code(ManifestEncodingError::wouldNotLoad);
  }
  // writeFileAtomically goes through manifest.json.tmp beside the final file.
  if (std::error_code error = writeFileAtomically(folder / "manifest.json", *bytes))
    return error;
  logger_.info(LogCategory::persistence,
               formatString("saved manifest to %s", lastComponent(folder).c_str()));
  return {};
}

Expected<Session, ManifestError> SessionStore::load(const fs::path& folder,
                                                    const std::optional<fs::path>& bundleURL) {
  return load(folder, bundleURL, nullptr);
}

Expected<Session, ManifestError>
SessionStore::loadRepairingDurations(const fs::path& folder,
                                     const std::optional<fs::path>& bundleURL,
                                     std::vector<std::string>& repaired) {
  return load(folder, bundleURL, &repaired);
}

Expected<Session, ManifestError> SessionStore::load(const fs::path& folder,
                                                    const std::optional<fs::path>& bundleURL,
                                                    std::vector<std::string>* repaired) {
  fs::path file = folder / "manifest.json";
  std::string bytes;
  if (std::error_code error = readRegularFile(file, bytes))
    return ManifestError::unreadable(file.string(), error.message());
  Expected<SessionManifest, DecodingError> manifest = decodeManifest(bytes);
  if (!manifest)
    return ManifestError::corrupt(file.string(), manifest.error().description());
  if (repaired)
    repairDurations(*manifest, folder / "takes", *repaired);
  Expected<Session, ValidationError> session = manifest->makeSession(folder, bundleURL);
  if (!session)
    return ManifestError::corrupt(file.string(), session.error().description());
  return std::move(*session);
}

void SessionStore::repairDurations(SessionManifest& manifest, const fs::path& takesFolder,
                                   std::vector<std::string>& repaired) {
  for (SceneManifest& scene : manifest.scenes) {
    for (TakeManifest& take : scene.takes) {
      std::optional<std::string> problem = durationProblem(take.duration);
      fs::path file = takesFolder / take.filename;
      if (!problem || !isPlainFileName(take.filename) || !isRegularFile(file))
        continue;
      std::optional<double> probed = probe_.duration(file);
      // A take whose file gives no length either keeps its problem, which
      // the validation then reports.
      if (!probed || durationProblem(*probed))
        continue;
      double d = *probed;
      double start = std::clamp(take.trimStart.value_or(0), 0.0, d);
      double end = std::clamp(take.trimEnd.value_or(d), start, d);
      if (start >= end) {
        start = 0;
        end = d;
      }
      take.duration = d;
      take.trimStart = start;
      take.trimEnd = end;
      repaired.push_back(take.filename + ": " + *problem);
    }
  }
}

namespace {

// The stored range moved inside the new length d. A range that would end
// up empty (the old start at or past d) becomes the whole file, so that the
// corrected take still passes validation on the next load.
Take corrected(const Take& take, double d) {
  Take result = take;
  result.duration = d;
  result.trimStart = std::max(0.0, std::min(d, take.trimStart));
  result.trimEnd = std::max(result.trimStart, std::min(d, take.trimEnd));
  if (result.trimStart >= result.trimEnd) {
    result.trimStart = 0;
    result.trimEnd = d;
  }
  return result;
}

} // namespace

Task<ReconcileResult> SessionStore::reconcileTakeFiles(Session session) {
  ReconcileResult result;
  std::set<std::string> missing;
  for (RecordingScene& scene : session.scenes) {
    for (Take& take : scene.takes) {
      fs::path file = session.takeFile(take);
      std::error_code error;
      if (!fs::exists(file, error)) {
        result.missing.push_back(take.filename);
        missing.insert(take.filename);
        continue;
      }
      // Only a regular file is handed to the probe: opening a named pipe
      // would wait for a writer that never comes.
      std::optional<double> loaded;
      if (isRegularFile(file))
        loaded = probe_.duration(file);
      // A length of zero or less is no reading either: taking it would
      // leave a take that no later load accepts.
      if (!loaded || !std::isfinite(*loaded) || *loaded <= 0) {
        logger_.error(LogCategory::persistence,
                      formatString("Could not read duration for %s", file.c_str()));
        continue;
      }
      if (std::fabs(take.duration - *loaded) > durationTolerance) {
        take = corrected(take, *loaded);
        result.corrected.push_back(take.filename);
      }
    }
  }
  for (RecordingScene& scene : session.scenes) {
    const Take* selected = scene.selectedTake();
    if (selected && missing.count(selected->filename))
      scene.selectedTakeID.reset();
  }
  result.session = std::move(session);
  co_return result;
}

std::string SessionStore::issueReport(const std::vector<std::string>& missing,
                                      const std::vector<std::string>& corrected) {
  auto joined = [](const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
      if (i > 0)
        text += "\n";
      text += names[i];
    }
    return text;
  };
  std::vector<std::string> sections;
  if (!missing.empty())
    sections.push_back("Missing files:\n" + joined(missing));
  if (!corrected.empty())
    sections.push_back("Duration corrected for:\n" + joined(corrected));
  std::string report;
  for (size_t i = 0; i < sections.size(); ++i) {
    if (i > 0)
      report += "\n\n";
    report += sections[i];
  }
  return report;
}

std::vector<Session> SessionStore::recoverableSessions(const fs::path& scratchRoot) {
  std::vector<Session> sessions;
  std::error_code error;
  fs::directory_iterator entries(scratchRoot, error);
  if (error)
    return sessions;
  for (; entries != fs::directory_iterator(); entries.increment(error)) {
    if (error)
      break;
    fs::path folder = entries->path();
    fs::path file = folder / "manifest.json";
    std::error_code ignored;
    if (!fs::exists(file, ignored))
      continue;
    Expected<Session, ManifestError> session = load(folder);
    // The folder stays on disk; the log tells where the session went.
    if (!session) {
      logger_.error(LogCategory::persistence, formatString("recovery skips %s: %s", folder.c_str(),
                                                           session.error().underlying.c_str()));
      continue;
    }
    sessions.push_back(std::move(*session));
  }
  return sessions;
}

namespace {

bool isTakeCopyName(const std::string& name) {
  static const std::string marker = ".finishing-";
  std::size_t at = name.rfind(marker);
  return name.size() > 1 && name[0] == '.' && at != std::string::npos && at > 1 &&
         name.size() == at + marker.size() + 6;
}

} // namespace

int SessionStore::removeAbandonedTakeCopies(const Session& session) {
  int removed = 0;
  std::error_code error;
  fs::directory_iterator entries(session.takesFolder(), error);
  if (error)
    return 0;
  for (; entries != fs::directory_iterator(); entries.increment(error)) {
    if (error)
      break;
    const fs::path& file = entries->path();
    if (!isTakeCopyName(file.filename().string()))
      continue;
    if (removeAbandonedFile(file)) {
      ++removed;
      logger_.info(LogCategory::persistence,
                   formatString("removed the abandoned copy %s", file.filename().string().c_str()));
    }
  }
  return removed;
}

std::vector<SessionStore::UnreviewedTake> SessionStore::unreviewedTakes(const Session& session) {
  std::set<std::string> named;
  for (const RecordingScene& scene : session.scenes)
    for (const Take& take : scene.takes)
      named.insert(take.filename);

  struct Found {
    UnreviewedTake take;
    fs::file_time_type modified;
  };
  std::vector<Found> found;
  std::error_code error;
  fs::directory_iterator entries(session.takesFolder(), error);
  if (error)
    return {};
  for (; entries != fs::directory_iterator(); entries.increment(error)) {
    if (error)
      break;
    const fs::path& file = entries->path();
    std::string name = file.filename().string();
    if (file.extension() != ".mov" || named.count(name))
      continue;
    std::error_code ignored;
    if (!entries->is_regular_file(ignored))
      continue;
    std::optional<double> duration = probe_.duration(file);
    if (!duration || !std::isfinite(*duration) || *duration <= 0)
      continue;
    found.push_back({{name, *duration}, entries->last_write_time(ignored)});
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    if (a.modified != b.modified)
      return a.modified > b.modified;
    return a.take.filename > b.take.filename;
  });
  std::vector<UnreviewedTake> takes;
  for (Found& entry : found)
    takes.push_back(std::move(entry.take));
  return takes;
}

Expected<std::map<std::string, std::string>, std::error_code>
SessionStore::copyTakeFiles(const std::vector<std::string>& filenames,
                            const fs::path& takesFolder) {
  std::map<std::string, std::string> map;
  std::vector<fs::path> copies;
  auto rollBack = [&] {
    std::error_code ignored;
    for (const fs::path& copy : copies)
      fs::remove(copy, ignored);
  };
  for (const std::string& filename : filenames) {
    // One copy per file, however often a name is listed.
    if (map.count(filename))
      continue;
    if (!isPlainFileName(filename)) {
      rollBack();
      return std::make_error_code(std::errc::invalid_argument);
    }
    std::string newName = Uuid::random().string() + ".mov";
    fs::path destination = takesFolder / newName;
    // Synced, so that the manifest saved next never names a copy that a
    // crash could leave empty.
    std::error_code error = copyFileDurably(takesFolder / filename, destination);
    if (error) {
      // A copy that broke off half-way is ours to remove too; a file that
      // was already there is not.
      if (error != std::errc::file_exists)
        copies.push_back(destination);
      rollBack();
      return error;
    }
    copies.push_back(destination);
    map.emplace(filename, std::move(newName));
  }
  if (std::error_code error = syncFolder(takesFolder)) {
    rollBack();
    return error;
  }
  return map;
}

} // namespace vidorel
