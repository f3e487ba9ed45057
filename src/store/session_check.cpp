#include "store/session_check.h"

#include "base/format.h"

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

Task<int> checkSession(CheckRequest request, SessionStore& store, std::ostream& out,
                       std::ostream& err) {
  fs::path folder = cleanFolder(request.folder);
  std::optional<fs::path> bundle;
  if (folder.extension() == ".vidorel")
    bundle = folder;
  Expected<Session, ManifestError> loaded = store.load(folder, bundle);
  if (!loaded) {
    err << loaded.error().description() << "\n";
    co_return kCheckFailed;
  }
  ReconcileResult result = co_await store.reconcileTakeFiles(std::move(*loaded));
  // Take files that no take names are footage left by a crash: listed for
  // the user to review in the app, never removed or adopted here, not even
  // with --fix.
  std::vector<SessionStore::UnreviewedTake> unreviewed = store.unreviewedTakes(result.session);
  bool needsFix = !result.missing.empty() || !result.corrected.empty();
  if (!needsFix && unreviewed.empty()) {
    out << sessionSummary(result.session) << "\n";
    co_return kCheckClean;
  }
  std::string report = SessionStore::issueReport(result.missing, result.corrected);
  if (!unreviewed.empty()) {
    if (!report.empty())
      report += "\n\n";
    report += "Unreviewed takes:";
    for (const SessionStore::UnreviewedTake& take : unreviewed)
      report += "\n" + take.filename;
  }
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
