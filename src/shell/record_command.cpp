#include "shell/commands.h"

#include "base/blocking_main_loop.h"
#include "base/format.h"
#include "base/log.h"
#include "base/task.h"
#include "capture/capture_error.h"
#include "capture/portal_capture_backend.h"
#include "capture/screen_recorder.h"
#include "capture/x11_screen_source.h"
#include "store/duration_probe.h"
#include "workflow/json_defaults_store.h"
#include "workflow/preferences.h"
#include "workflow/screen_choice.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace vidorel {
namespace {

constexpr int kRecordUsage = 64;
// Milliseconds: how long the microphone may take to deliver, how often it
// is asked, and how long it runs on once it delivers.
constexpr int kWarmUpLimit = 3000;
constexpr int kWarmUpStep = 20;
constexpr int kWarmUpMargin = 250;

struct RecordRequest {
  std::filesystem::path output;
  double seconds = 0;
  bool listScreens = false;
  // Override the settings when given.
  std::optional<std::string> screen;
  std::optional<RecordingSize> size;
};

std::optional<RecordRequest> parseRecordArguments(const std::vector<std::string>& args) {
  RecordRequest request;
  bool haveSeconds = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--seconds") {
      if (i + 1 >= args.size())
        return std::nullopt;
      char* end = nullptr;
      request.seconds = std::strtod(args[i + 1].c_str(), &end);
      if (end == args[i + 1].c_str() || *end != '\0' || !(request.seconds > 0) ||
          request.seconds > 24 * 3600)
        return std::nullopt;
      haveSeconds = true;
      ++i;
    } else if (args[i] == "--screen") {
      if (i + 1 >= args.size() || args[i + 1].empty())
        return std::nullopt;
      request.screen = args[++i];
    } else if (args[i] == "--size") {
      if (i + 1 >= args.size())
        return std::nullopt;
      request.size = recordingSizeNamed(args[++i]);
      if (!request.size)
        return std::nullopt;
    } else if (args[i] == "--list-screens") {
      request.listScreens = true;
    } else if (request.output.empty() && !args[i].empty() && args[i][0] != '-') {
      request.output = args[i];
    } else {
      return std::nullopt;
    }
  }
  if (request.listScreens)
    return args.size() == 1 ? std::optional(request) : std::nullopt;
  if (request.output.empty() || !haveSeconds)
    return std::nullopt;
  return request;
}

Task<void> record(RecordRequest request, ScreenRecorder& recorder, BlockingMainLoop& loop,
                  int& status) {
  try {
    // As before a take: the microphone warms up first; a failure here is
    // reported by the start, which tries again.
    recorder.prepareMicrophone();
  } catch (const CaptureFailure&) {
  }
  // There is no countdown to warm it up: the take starts once sound flows
  // (and a little later, once its first burst is past), so it has sound
  // from its first frame.
  for (int waited = 0; recorder.hasMicrophone() && waited < kWarmUpLimit; waited += kWarmUpStep) {
    if (recorder.microphoneDelivers()) {
      co_await sleepFor(loop, Milliseconds(kWarmUpMargin));
      break;
    }
    co_await sleepFor(loop, Milliseconds(kWarmUpStep));
  }
  std::string failure;
  try {
    co_await recorder.startRecording(request.output, std::nullopt);
  } catch (const std::exception& error) {
    failure = error.what();
  }
  if (!failure.empty()) {
    // The start may have failed with capture already running.
    std::optional<RecordedTake> partial = co_await recorder.stopRecording();
    if (partial) {
      std::error_code ignored;
      std::filesystem::remove(partial->url, ignored);
    }
    std::cerr << "vidorel record: " << failure << "\n";
    status = 1;
    loop.quit();
    co_return;
  }
  // A failed write ends the take at once: what reached the disk is kept,
  // and the command says why instead of recording on into nothing.
  std::optional<std::string> writeFailure;
  recorder.setFailureHandler(
      [&writeFailure](std::string description) { writeFailure = std::move(description); });
  const Milliseconds length(static_cast<long long>(request.seconds * 1000));
  const Milliseconds step(100);
  for (Milliseconds waited(0); waited < length && !writeFailure; waited += step)
    co_await sleepFor(loop, std::min(step, length - waited));
  std::optional<RecordedTake> take = co_await recorder.stopRecording();
  recorder.setFailureHandler(nullptr);
  std::shared_ptr<TakeWriter> writer = recorder.writer();
  if (!take || take->duration <= 0 || !writer) {
    std::cerr << "vidorel record: the take couldn't be written\n";
    status = 1;
    loop.quit();
    co_return;
  }
  std::printf("duration=%.3f frames=%lld dropped=%lld\n", take->duration,
              static_cast<long long>(writer->counts().videoWritten),
              static_cast<long long>(writer->counts().videoDropped()));
  std::fflush(stdout);
  if (writeFailure) {
    std::cerr << "vidorel record: Recording stopped: " << *writeFailure << "\n";
    status = 1;
  } else {
    status = 0;
  }
  loop.quit();
}

// One line per monitor, the one a take records without --screen marked.
int listScreens(CaptureBackend& backend, const Preferences& preferences) {
  if (isWaylandSession()) {
    std::printf("The desktop asks which screen to share when a take starts.\n");
    return 0;
  }
  ShareableContent content;
  try {
    content = backend.shareableContent();
  } catch (const std::exception& error) {
    std::cerr << "vidorel record: " << error.what() << "\n";
    return 1;
  }
  DisplayChoice choice = chooseDisplay(content, preferences.recordingScreen());
  if (!choice.display) {
    std::cerr << "vidorel record: no screen to record\n";
    return 1;
  }
  for (const DisplayInfo& display : content.displays)
    std::printf("%s%s\n", describeDisplay(display).c_str(),
                &display == choice.display ? " (default)" : "");
  return 0;
}

} // namespace

int runRecordCommand(const std::vector<std::string>& args) {
  std::optional<RecordRequest> request = parseRecordArguments(args);
  if (!request) {
    std::cerr << "usage: vidorel record OUT.mov --seconds N [--screen NAME] [--size full|1080p]\n"
                 "       vidorel record --list-screens\n";
    return kRecordUsage;
  }
  Logger logger;
  logger.addSink(std::make_shared<StderrLogSink>());
  FfmpegDurationProbe probe;
  // On Wayland the monitor the desktop shares through its ScreenCast
  // portal, with the app's restore token, so a command run after the app
  // asks no more than the app would.
  JsonDefaultsStore defaults;
  std::unique_ptr<CaptureBackend> backend;
  if (isWaylandSession())
    backend = std::make_unique<PortalCaptureBackend>(logger, probe, defaults);
  else
    backend = std::make_unique<X11CaptureBackend>(logger, probe);
  Preferences preferences(defaults);
  if (request->listScreens)
    return listScreens(*backend, preferences);
  if (request->screen && isWaylandSession())
    std::cerr << "vidorel record: --screen is left aside: the desktop asks which screen to share\n";
  if (request->screen && !isWaylandSession()) {
    // A name that is not there is a mistake on the command line, not a
    // monitor unplugged since it was chosen.
    ShareableContent content;
    try {
      content = backend->shareableContent();
    } catch (const std::exception&) {
      // The start reports a display that cannot be asked.
    }
    if (chooseDisplay(content, *request->screen).fellBack) {
      std::cerr << "vidorel record: no screen named " << *request->screen
                << " (see vidorel record --list-screens)\n";
      return kRecordUsage;
    }
  }
  BlockingMainLoop loop;
  int status = 1;
  {
    ScreenRecorder recorder(loop, logger, *backend);
    std::string screen = request->screen.value_or(preferences.recordingScreen());
    recorder.setOptions({isWaylandSession() ? std::string() : screen,
                         request->size.value_or(preferences.recordingSize())});
    loop.post([&] { spawn(record(*request, recorder, loop, status)); });
    loop.run();
  }
  return status;
}

} // namespace vidorel
