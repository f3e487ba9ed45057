#pragma once

#include "model/session.h"

#include <optional>
#include <string>
#include <vector>

namespace vidorel {

inline constexpr const char* kExportSummaryTitle = "Export Summary";
inline constexpr const char* kSkippedSceneText = "— skipped —";
inline constexpr const char* kExportCancelTitle = "Cancel";
inline constexpr const char* kExportButtonTitle = "Export Final Video (Ctrl+Shift+E)";
inline constexpr const char* kCopyChaptersTitle = "Copy Chapters";

// One line of the summary: a scene and the take export will use from it.
struct ExportSummaryRow {
  std::string sceneLabel;
  // Nothing when the scene is skipped (no selection, or one naming a take
  // the scene no longer holds).
  std::optional<std::string> takeLabel;
  // The selected take's trimmed length in seconds and as "%d:%02d".
  double takeSeconds = 0;
  std::string takeLength;

  bool skipped() const { return !takeLabel.has_value(); }
  bool operator==(const ExportSummaryRow&) const = default;
};

// What the summary window shows for a session, derived afresh on every
// change of the session.
struct ExportSummary {
  std::vector<ExportSummaryRow> rows;
  double totalSeconds = 0;
  // "Total: " and the total as "%d:%02d".
  std::string totalText;
  // Export needs at least one selected take.
  bool canExport = false;
  // The movie's chapters as lines "0:00 Intro"; empty when it has none.
  std::string chapterList;
};

// The summary of `session`; no session gives no rows, a total of 0:00 and
// export disabled.
ExportSummary makeExportSummary(const std::optional<Session>& session);

} // namespace vidorel
