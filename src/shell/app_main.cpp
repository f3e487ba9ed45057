#include "shell/commands.h"

#include <cstdio>

namespace vidorel {

// Until the tray app is built, starting without a command explains the
// command line instead.
int runDesktopApp(int, char** argv) {
  std::fprintf(stderr,
               "vidorel: the desktop app is not available in this build yet; see %s --help\n",
               argv[0]);
  return 64;
}

} // namespace vidorel
