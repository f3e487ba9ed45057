#include "shell/commands.h"

#include <cstdio>
#include <cstring>

namespace {

const char* const kHelp = R"(Usage: vidorel [COMMAND] [ARGS...]

With no command, starts the desktop recorder in the system tray.

Commands:
  check FOLDER [--fix]       check a session folder or .vidorel package against its take files
  record OUT.mov --seconds N record the display in $DISPLAY (on Wayland the monitor the
                             desktop shares) and the default microphone
  export FOLDER OUT.mov      join the selected takes of a session into one movie
  ctl ACTION                 send start-pause, end-take, next-scene, retake, new or
                             status to the running app and print its state

Options:
  --help     show this help
  --version  show the version
)";

} // namespace

int main(int argc, char** argv) {
  if (argc < 2)
    return vidorel::runDesktopApp(argc, argv);
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (command == "--version") {
    std::printf("vidorel %s\n", VIDOREL_VERSION);
    return 0;
  }
  if (command == "check")
    return vidorel::runCheckCommand(args);
  if (command == "record")
    return vidorel::runRecordCommand(args);
  if (command == "export")
    return vidorel::runExportCommand(args);
  if (command == "ctl")
    return vidorel::runCtlCommand(args);
  std::fprintf(stderr, "vidorel: unknown command \"%s\"\n\n%s", command.c_str(), kHelp);
  return 64;
}
