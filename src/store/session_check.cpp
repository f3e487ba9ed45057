#include "store/session_check.h"

#include "base/format.h"

#include <algorithm>

namespace vidorel {
namespace fs = std::filesystem;

std::optional<CheckRequest> parseCheckArguments(const std::vector<std::string>& args,
                                                std::string& error) {
  CheckRequest request;
  bool haveFolder = false;
  for (const std::string& arg : args) {
    if (arg == "--fix") {
      request.fix = true;
      continue;
    }
    if (arg.starts_with("-") && arg.size() > 1) {
      error = "unknown option \"" + arg + "\"";
      return std::nullopt;
    }
    if (haveFolder) {
      error = "more than one folder given";
      return std::nullopt;
    }
    request.folder = arg;
    haveFolder = true;
  }
  if (!haveFolder || request.folder.empty()) {
    error = "no session folder given";
    return std::nullopt;
  }
  return request;
}

namespace {

std::string counted(size_t count, const char* singular, const char* plural) {
  return std::to_string(count) + " " + (count == 1 ? singular : plural);
}

// An absolute path without a trailing separator, so that messages name
// the file fully and the folder's own name can be read off it.
fs::path cleanFolder(const fs::path& folder) {
  std::error_code error;
  fs::path result = fs::absolute(folder, error).lexically_normal();
  if (error)
    result = folder.lexically_normal();
  if (result.has_parent_path() && result.filename().empty())
    result = result.parent_path();
  return result;
}

// Each selected take that export could not use, with the reason, read as
// export reads it. Missing files are reported as such already.
std::vector<std::string> unusableTakes(const Session& session,
                                       const std::vector<std::string>& missing,
                                       DurationProbe& probe) {
  std::vector<std::string> lines;
  for (const Take& take : session.selectedTakes()) {
    if (std::find(missing.begin(), missing.end(), take.filename) != missing.end())
      continue;
    if (std::optional<std::string> reason = probe.whyUnusable(session.takeFile(take)))
      lines.push_back(take.filename + ": " + *reason);
  }
  return lines;
}

void addSection(std::string& report, const char* heading, const std::vector<std::string>& lines) {
  if (lines.empty())
    return;
  if (!report.empty())
    report += "\n\n";
  report += heading;
  for (const std::string& line : lines)
    report += "\n" + line;
}

} // namespace

std::string sessionSummary(const Session& session) {
  size_t takes = 0;
  for (const RecordingScene& scene : session.scenes)
    takes += scene.takes.size();
  return counted(session.scenes.size(), "scene", "scenes") + ", " +
         counted(takes, "take", "takes") + ", " +
         counted(session.selectedTakes().size(), "selected take", "selected takes") +
         ", total selected duration " + formatMinutesSeconds(session.totalSelectedDuration());
}

Task<int> checkSession(CheckRequest request, SessionStore& store, DurationProbe& probe,
                       std::ostream& out, std::ostream& err) {
  fs::path folder = cleanFolder(request.folder);
  std::optional<fs::path> bundle;
  if (folder.extension() == ".vidorel")
    bundle = folder;
  // Stored durations that are not a positive number (older versions wrote
  // 0) are found and repaired from the take files like any other wrong
  // duration; where a file gives none the load fails and says why.
  std::vector<std::string> invalidDurations;
  Expected<Session, ManifestError> loaded =
      store.loadRepairingDurations(folder, bundle, invalidDurations);
  if (!loaded) {
    err << loaded.error().description() << "\n";
    co_return kCheckFailed;
  }
  ReconcileResult result = co_await store.reconcileTakeFiles(std::move(*loaded));
  std::vector<std::string> unusable = unusableTakes(result.session, result.missing, probe);
  // Take files that no take names are footage left by a crash: listed for
  // the user to review in the app, never removed or adopted here, not even
  // with --fix.
  std::vector<SessionStore::UnreviewedTake> unreviewed = store.unreviewedTakes(result.session);
  std::vector<std::string> unreviewedNames;
  for (const SessionStore::UnreviewedTake& take : unreviewed)
    unreviewedNames.push_back(take.filename);
  bool needsFix = !invalidDurations.empty() || !result.missing.empty() || !result.corrected.empty();
  if (!needsFix && unusable.empty() && unreviewed.empty()) {
    out << sessionSummary(result.session) << "\n";
    co_return kCheckClean;
  }
  std::string report;
  addSection(report, "Invalid durations:", invalidDurations);
  std::string issues = SessionStore::issueReport(result.missing, result.corrected);
  if (!issues.empty())
    report += (report.empty() ? "" : "\n\n") + issues;
  // Files export cannot read are the user's to replace: --fix leaves them.
  addSection(report, "Unusable takes:", unusable);
  addSection(report, "Unreviewed takes:", unreviewedNames);
  out << report << "\n";
  if (request.fix && needsFix) {
    if (std::error_code error = store.save(result.session)) {
      err << "Could not save the corrected manifest: " << error.message() << "\n";
      co_return kCheckFailed;
    }
  }
  co_return kCheckFoundIssues;
}

} // namespace vidorel
