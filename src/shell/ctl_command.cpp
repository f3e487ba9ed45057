// `vidorel ctl ACTION`: one action sent to the running app over its
// control socket, for the desktop's own shortcut settings, scripts and
// stream decks, on X11 and Wayland alike.

#include "shell/commands.h"
#include "shell/qt_single_instance.h"
#include "shell/shell_control.h"

#include <QCoreApplication>

#include <cstdio>
#include <optional>
#include <string>

namespace vidorel {

namespace {

const char* const kCtlUsage = R"(Usage: vidorel ctl ACTION

Sends ACTION to the running Vidorel and prints its state afterwards
(for example "recording S2T3").

Actions:
  start-pause  pause or resume the take being recorded
  end-take     start a take, end it, or approve the take under review
  next-scene   end the take and go on to the next scene
  retake       throw away the take under review and record it again
  new          start a new recording session
  status       only print the state
)";

// Long enough for a take to be finished and written out before the answer.
constexpr int kReplyTimeoutMs = 15000;

} // namespace

int runCtlCommand(const std::vector<std::string>& args) {
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(kCtlUsage, stdout);
    return 0;
  }
  if (args.size() != 1 || !parseCtlAction(args[0])) {
    if (args.size() == 1)
      std::fprintf(stderr, "vidorel ctl: unknown action \"%s\"\n\n", args[0].c_str());
    std::fputs(kCtlUsage, stderr);
    return 64;
  }
  // Qt's local socket wants an application object; this one needs no display.
  int argc = 1;
  char name[] = "vidorel";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  std::optional<std::string> reply = SingleInstance::send(
      controlSocketPath(), std::string(kCtlCommand) + " " + args[0], kReplyTimeoutMs);
  if (!reply) {
    std::fputs("Vidorel is not running.\n", stderr);
    return 1;
  }
  if (reply->rfind("error", 0) == 0) {
    std::fprintf(stderr, "vidorel ctl: %s\n", reply->c_str());
    return 1;
  }
  std::printf("%s\n", reply->c_str());
  return 0;
}

} // namespace vidorel
