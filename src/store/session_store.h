#pragma once

#include "base/log.h"
#include "base/task.h"
#include "model/expected.h"
#include "model/manifest.h"
#include "model/session.h"
#include "store/duration_probe.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace vidorel {

// A load that failed; path is the manifest.json concerned.
struct ManifestError {
  enum class Kind { unreadable, corrupt };

  Kind kind = Kind::unreadable;
  std::string path;
  // The cause: the file-system error's text for unreadable, the decoding or
  // validation message for corrupt.
  std::string underlying;

  static ManifestError unreadable(std::string path, std::string underlying);
  static ManifestError corrupt(std::string path, std::string underlying);

  std::string description() const;
  bool operator==(const ManifestError&) const = default;
};

// A loaded session checked against the take files really on disk.
struct ReconcileResult {
  Session session;
  std::vector<std::string> missing;   // take file names, scene-then-take order
  std::vector<std::string> corrected; // take file names whose duration was fixed
};

// Keeps sessions on disk: writes and reads manifest.json, checks a session
// against its movie files, finds sessions left in the scratch root and
// copies take files for scene duplication. Holds no state of its own.
class SessionStore {
public:
  // A stored duration this close to the file's is left alone.
  static constexpr double durationTolerance = 0.1;

  SessionStore(Logger& logger, DurationProbe& probe) : logger_(logger), probe_(probe) {}

  // Writes the session's manifest into its activeFolder: a temporary file,
  // flushed, renamed over manifest.json, then the folder synced. A failure
  // leaves the old manifest as it was. isDirty is the caller's to clear.
  std::error_code save(const Session& session);

  // The session described by folder/manifest.json. A package is passed as
  // both folder and bundleURL.
  Expected<Session, ManifestError>
  load(const std::filesystem::path& folder,
       const std::optional<std::filesystem::path>& bundleURL = std::nullopt);

  // load(), except that a take whose stored duration is not a positive
  // number first gets its file's probed length: an absent trimEnd becomes
  // that length and trims outside it are clamped. Appends one line per
  // repaired take to repaired ("a.mov: duration 0 is not a positive number
  // of seconds"). A take whose file gives no length stays as it was, and
  // the load fails as load() does.
  Expected<Session, ManifestError>
  loadRepairingDurations(const std::filesystem::path& folder,
                         const std::optional<std::filesystem::path>& bundleURL,
                         std::vector<std::string>& repaired);

  // Corrects take durations against the movie files, clears selections of
  // takes whose file is missing and lists what it found. Never fails.
  Task<ReconcileResult> reconcileTakeFiles(Session session);

  static std::string issueReport(const std::vector<std::string>& missing,
                                 const std::vector<std::string>& corrected);

  // Every session in scratchRoot whose manifest loads and validates, in the
  // order the folder lists them. A folder with a manifest that does not
  // load is skipped, and logged with the reason.
  std::vector<Session> recoverableSessions(const std::filesystem::path& scratchRoot);

  // A take file left in the session's takes folder that no take names (a
  // crash between writing a take and approving it) and that plays.
  struct UnreviewedTake {
    std::string filename;
    double duration = 0;
  };

  // Such files, newest first. They are the user's footage: nothing here or
  // elsewhere deletes them without the user.
  std::vector<UnreviewedTake> unreviewedTakes(const Session& session);

  // Removes the hidden copies ".<take>.finishing-XXXXXX" that a recorder
  // killed while it rewrote a finished take leaves beside it (the take
  // itself is whole under its own name). A copy still being written is
  // locked by its writer and stays. Returns how many were removed.
  int removeAbandonedTakeCopies(const Session& session);

  // Copies each named take file to a fresh "<UUID>.mov" in takesFolder and
  // maps old name to new. All or nothing: on a failure every copy made so
  // far is removed and the error returned.
  Expected<std::map<std::string, std::string>, std::error_code>
  copyTakeFiles(const std::vector<std::string>& filenames,
                const std::filesystem::path& takesFolder);

private:
  Expected<Session, ManifestError> load(const std::filesystem::path& folder,
                                        const std::optional<std::filesystem::path>& bundleURL,
                                        std::vector<std::string>* repaired);
  void repairDurations(SessionManifest& manifest, const std::filesystem::path& takesFolder,
                       std::vector<std::string>& repaired);

  Logger& logger_;
  DurationProbe& probe_;
};

} // namespace vidorel
