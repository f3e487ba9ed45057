#include "shell/commands.h"

#include <cstdio>

namespace vidorel {

int runCheckCommand(const std::vector<std::string>&) {
  std::fputs("vidorel: \"check\" is not available in this build yet\n", stderr);
  return 70;
}

} // namespace vidorel
