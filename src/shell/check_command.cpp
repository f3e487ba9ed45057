#include "shell/commands.h"

#include "base/blocking_main_loop.h"
#include "base/log.h"
#include "store/duration_probe.h"
#include "store/session_check.h"

#include <iostream>

namespace vidorel {
namespace {

Task<void> runCheck(CheckRequest request, SessionStore& store, BlockingMainLoop& loop,
                    int& status) {
  status = co_await checkSession(std::move(request), store, std::cout, std::cerr);
  loop.quit();
}

} // namespace

int runCheckCommand(const std::vector<std::string>& args) {
  std::string error;
  std::optional<CheckRequest> request = parseCheckArguments(args, error);
  if (!request) {
    std::cerr << "vidorel check: " << error << "\nusage: vidorel check FOLDER [--fix]\n";
    return kCheckUsage;
  }
  Logger logger;
  logger.addSink(std::make_shared<StderrLogSink>());
  FfmpegDurationProbe probe;
  SessionStore store(logger, probe);
  BlockingMainLoop loop;
  int status = kCheckFailed;
  loop.post([&] { spawn(runCheck(*request, store, loop, status)); });
  loop.run();
  return status;
}

} // namespace vidorel
