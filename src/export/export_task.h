#pragma once

#include "base/log.h"
#include "base/task.h"
#include "export/session_exporter.h"
#include "model/session.h"
#include "workflow/platform.h"

#include <chrono>
#include <filesystem>
#include <string>

namespace vidorel {

// "Vidorel-2026-03-01.mov": the name first offered for a movie exported at
// now, with the local date.
std::string suggestedExportName(std::chrono::system_clock::time_point now);

// The export task, once the destination is known: joins the session's
// selected takes into destination, logging under "export" and reporting
// every failure with one modal alert. Each scene starts a chapter titled
// with its label. True when the movie was written.
Task<bool> runExportTask(Session session, std::filesystem::path destination,
                         SessionExporter& exporter, Logger& logger, AlertPresenter& alerts,
                         bool evenLoudness);

} // namespace vidorel
