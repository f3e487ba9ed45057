#include "export/export_coordinator.h"

#include <optional>

namespace vidorel {
namespace fs = std::filesystem;

namespace {

// The panel only offers QuickTime movies: a name typed without an
// extension gets the movie's.
fs::path withMovieExtension(fs::path destination) {
  if (destination.extension().empty())
    destination += ".mov";
  return destination;
}

} // namespace

Task<void> ExportCoordinator::exportSession(Session session) {
  SavePanelOptions options;
  options.proposedName = suggestedExportName(deps_.now());
  options.directory = deps_.preferences.lastExportDirectory();
  // The panel must come to the front even when only the tray icon shows.
  deps_.activation.setActivationPolicy(ActivationPolicy::regular);
  deps_.activation.activate();
  using Answer = std::optional<fs::path>;
  // A named awaiter, not a temporary: see FfmpegSessionExporter::exportTakes.
  CallbackAwaiter<Answer> panel(deps_.loop, [this, &options](std::function<void(Answer)> done) {
    deps_.panels.showSavePanel(options, std::move(done));
  });
  Answer answer = co_await panel;
  if (!answer || answer->empty())
    co_return;
  fs::path destination = withMovieExtension(*answer);
  fs::path folder = destination.parent_path();
  deps_.preferences.setLastExportDirectory(folder.empty() ? std::nullopt
                                                          : std::optional<fs::path>(folder));
  co_await runExportTask(std::move(session), std::move(destination), deps_.exporter, deps_.logger,
                         deps_.alerts, deps_.preferences.evenLoudness());
}

} // namespace vidorel
