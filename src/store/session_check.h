#pragma once

#include "base/task.h"
#include "store/session_store.h"

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace vidorel {

// What `vidorel check` was asked to do.
struct CheckRequest {
  std::filesystem::path folder; // a session folder or a .vidorel package
  bool fix = false;
};

// Exit statuses of the check.
inline constexpr int kCheckClean = 0;
inline constexpr int kCheckFoundIssues = 1;
inline constexpr int kCheckFailed = 2;
inline constexpr int kCheckUsage = 64;

// FOLDER [--fix] in either order; nothing (and a message in error) for
// anything else.
std::optional<CheckRequest> parseCheckArguments(const std::vector<std::string>& args,
                                                std::string& error);

// Loads the session (repairing stored durations that are not a positive
// number from the take files), reconciles it with its take files, reads
// each selected take as export would through probe, and reports: the load
// error on err (kCheckFailed), or on out the sections "Invalid durations:",
// the issue report, "Unusable takes:" (selected takes export cannot read,
// with the reason) and "Unreviewed takes:" (take files that no take names)
// (kCheckFoundIssues; with fix the corrected session is saved, and unusable
// and unreviewed files are left alone), or a one-line summary (kCheckClean).
Task<int> checkSession(CheckRequest request, SessionStore& store, DurationProbe& probe,
                       std::ostream& out, std::ostream& err);

// "2 scenes, 3 takes, 1 selected take, total selected duration 0:12"
std::string sessionSummary(const Session& session);

} // namespace vidorel
