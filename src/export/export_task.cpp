#include "export/export_task.h"

#include "export/chapters.h"

#include <ctime>
#include <optional>

namespace vidorel {
namespace fs = std::filesystem;

namespace {

constexpr const char* kMovieExtension = ".mov";

Alert exportAlert(std::string message, std::string informativeText) {
  Alert alert;
  alert.message = std::move(message);
  alert.informativeText = std::move(informativeText);
  alert.style = AlertStyle::warning;
  return alert;
}

} // namespace

std::string suggestedExportName(std::chrono::system_clock::time_point now) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  if (!::localtime_r(&seconds, &local))
    return std::string("Vidorel") + kMovieExtension;
  char date[16] = {};
  std::strftime(date, sizeof date, "%Y-%m-%d", &local);
  return std::string("Vidorel-") + date + kMovieExtension;
}

Task<bool> runExportTask(Session session, fs::path destination, SessionExporter& exporter,
                         Logger& logger, AlertPresenter& alerts, bool evenLoudness) {
  std::vector<Take> takes = session.selectedTakes();
  if (takes.empty()) {
    alerts.runModal(exportAlert("Nothing to export", "No scenes have a selected take."));
    co_return false;
  }
  logger.info(LogCategory::export_, "export start → " + destination.string());
  ExportOptions options;
  options.chapterTitles = chapterTitles(session);
  options.evenLoudness = evenLoudness;
  std::optional<ExportFailure> failure = co_await exporter.exportTakes(
      std::move(takes), session.takesFolder(), destination, std::move(options));
  if (!failure) {
    logger.info(LogCategory::export_, "export ok");
    co_return true;
  }
  logger.error(LogCategory::export_, "export failed: " + failure->fullDescription());
  alerts.runModal(exportAlert("Export failed", failure->description()));
  co_return false;
}

} // namespace vidorel
