#include "shell/commands.h"

#include "base/blocking_main_loop.h"
#include "base/log.h"
#include "store/duration_probe.h"
#include "store/session_check.h"

#include <iostream>

namespace vidorel {
namespace {

Task<void> runCheck(CheckRequest request, SessionStore& store, DurationProbe& probe,
                    BlockingMainLoop& loop, int& status) {
  status = co_await checkSession(std::move(request), store, probe, std::cout, std::cerr);
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
  // libavformat's complaints about a take ("moov atom not found") go to
  // the journal: the report names each take it cannot read, and why.
  Logger libavLog;
  if (std::shared_ptr<LogSink> journal = makeJournalLogSink())
    libavLog.addSink(journal);
  sendLibavMessagesTo(libavLog);
  FfmpegDurationProbe probe;
  SessionStore store(logger, probe);
  BlockingMainLoop loop;
  int status = kCheckFailed;
  loop.post([&] { spawn(runCheck(*request, store, probe, loop, status)); });
  loop.run();
  return status;
}

} // namespace vidorel
