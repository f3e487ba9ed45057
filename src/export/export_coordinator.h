#pragma once

#include "base/log.h"
#include "base/main_loop.h"
#include "base/task.h"
#include "export/export_task.h"
#include "export/session_exporter.h"
#include "model/session.h"
#include "workflow/collaborators.h"
#include "workflow/platform.h"
#include "workflow/preferences.h"

#include <chrono>
#include <functional>

namespace vidorel {

struct ExportCoordinatorDependencies {
  MainLoop& loop;
  Logger& logger;
  SessionExporter& exporter;
  Preferences& preferences;
  FilePanels& panels;
  AlertPresenter& alerts;
  Activation& activation;
  // The clock the suggested file name is dated by.
  std::function<std::chrono::system_clock::time_point()> now = std::chrono::system_clock::now;
};

// The user-facing export: asks where the movie goes (in the folder used
// last), then runs the export task. Keeps nothing between exports but the
// remembered folder, so exports started one after another run
// independently.
class ExportCoordinator final : public SessionExport {
public:
  explicit ExportCoordinator(ExportCoordinatorDependencies deps) : deps_(std::move(deps)) {}

  // Ends when the panel was cancelled or the export task has ended.
  Task<void> exportSession(Session session) override;

private:
  ExportCoordinatorDependencies deps_;
};

} // namespace vidorel
