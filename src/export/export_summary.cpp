#include "export/export_summary.h"

#include "base/format.h"
#include "export/chapters.h"

namespace vidorel {

namespace {

ExportSummaryRow summaryRow(const RecordingScene& scene, int sceneIndex) {
  ExportSummaryRow row;
  row.sceneLabel = sceneLabel(scene, sceneIndex);
  if (!scene.selectedTakeID)
    return row;
  // The first take carrying the selected id, like the export itself picks.
  for (size_t index = 0; index < scene.takes.size(); ++index) {
    const Take& take = scene.takes[index];
    if (take.id != *scene.selectedTakeID)
      continue;
    row.takeLabel = takeLabel(take, static_cast<int>(index));
    row.takeSeconds = take.effectiveDuration();
    row.takeLength = formatMinutesSeconds(row.takeSeconds);
    break;
  }
  return row;
}

} // namespace

ExportSummary makeExportSummary(const std::optional<Session>& session) {
  ExportSummary summary;
  if (session) {
    for (size_t index = 0; index < session->scenes.size(); ++index)
      summary.rows.push_back(summaryRow(session->scenes[index], static_cast<int>(index)));
    summary.totalSeconds = session->totalSelectedDuration();
    summary.canExport = !session->selectedTakes().empty();
    summary.chapterList = chapterList(movieChapters(*session));
  }
  summary.totalText = "Total: " + formatMinutesSeconds(summary.totalSeconds);
  return summary;
}

} // namespace vidorel
