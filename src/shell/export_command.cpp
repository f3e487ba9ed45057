#include "shell/commands.h"

#include "base/blocking_main_loop.h"
#include "base/log.h"
#include "export/chapters.h"
#include "export/export_task.h"
#include "export/ffmpeg_session_exporter.h"
#include "store/duration_probe.h"
#include "store/session_store.h"
#include "workflow/json_defaults_store.h"

#include <iostream>

namespace vidorel {
namespace {
namespace fs = std::filesystem;

constexpr int kExportDone = 0;
constexpr int kExportFailed = 1;
constexpr int kExportLoadFailed = 2;
constexpr int kExportUsage = 64;

struct ExportRequest {
  fs::path folder; // a session folder or a .vidorel package
  fs::path destination;
};

std::optional<ExportRequest> parseExportArguments(const std::vector<std::string>& args,
                                                  std::string& error) {
  std::vector<std::string> paths;
  for (const std::string& arg : args) {
    if (arg.starts_with("-") && arg.size() > 1) {
      error = "unknown option \"" + arg + "\"";
      return std::nullopt;
    }
    if (arg.empty()) {
      error = "empty path given";
      return std::nullopt;
    }
    paths.push_back(arg);
  }
  if (paths.size() != 2) {
    error =
        paths.size() < 2 ? "a session folder and a movie file are needed" : "too many arguments";
    return std::nullopt;
  }
  return ExportRequest{paths[0], paths[1]};
}

// Absolute, without a trailing separator, so that a package is recognised
// by its extension and messages name files fully.
fs::path absoluteClean(const fs::path& path) {
  std::error_code error;
  fs::path result = fs::absolute(path, error).lexically_normal();
  if (error)
    result = path.lexically_normal();
  if (result.has_parent_path() && result.filename().empty())
    result = result.parent_path();
  return result;
}

// With no one to click, an alert is its two texts on stderr.
class StderrAlertPresenter final : public AlertPresenter {
public:
  int runModal(const Alert& alert) override {
    std::cerr << alert.message << "\n" << alert.informativeText << "\n";
    return 0;
  }
};

Task<void> runExport(Session session, fs::path destination, SessionExporter& exporter,
                     Logger& logger, AlertPresenter& alerts, BlockingMainLoop& loop, int& status) {
  // The settings the desktop app keeps apply here too.
  JsonDefaultsStore defaults;
  bool evenLoudness = Preferences(defaults).evenLoudness();
  std::string chapters = chapterList(movieChapters(session));
  bool written = co_await runExportTask(std::move(session), std::move(destination), exporter,
                                        logger, alerts, evenLoudness);
  // The chapter list, ready for a video platform's description.
  if (written)
    std::cout << chapters << std::flush;
  status = written ? kExportDone : kExportFailed;
  loop.quit();
}

} // namespace

int runExportCommand(const std::vector<std::string>& args) {
  std::string error;
  std::optional<ExportRequest> request = parseExportArguments(args, error);
  if (!request) {
    std::cerr << "vidorel export: " << error << "\nusage: vidorel export FOLDER OUT.mov\n";
    return kExportUsage;
  }
  // The log goes where the app's goes; only the chapter list is printed on
  // success.
  Logger logger;
  if (std::shared_ptr<LogSink> journal = makeJournalLogSink())
    logger.addSink(journal);
  FfmpegDurationProbe probe;
  SessionStore store(logger, probe);

  fs::path folder = absoluteClean(request->folder);
  std::optional<fs::path> bundle;
  if (folder.extension() == ".vidorel")
    bundle = folder;
  Expected<Session, ManifestError> loaded = store.load(folder, bundle);
  if (!loaded) {
    std::cerr << loaded.error().description() << "\n";
    return kExportLoadFailed;
  }

  BlockingMainLoop loop;
  FfmpegSessionExporter exporter(loop);
  StderrAlertPresenter alerts;
  int status = kExportFailed;
  Session session = std::move(*loaded);
  fs::path destination = absoluteClean(request->destination);
  loop.post([&] {
    spawn(runExport(std::move(session), destination, exporter, logger, alerts, loop, status));
  });
  loop.run();
  return status;
}

} // namespace vidorel
