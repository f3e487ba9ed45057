#include "shell/commands.h"

#include <cstdio>

namespace vidorel {

int runExportCommand(const std::vector<std::string>&) {
  std::fputs("vidorel: \"export\" is not available in this build yet\n", stderr);
  return 70;
}

} // namespace vidorel
