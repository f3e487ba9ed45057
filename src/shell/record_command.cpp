#include "shell/commands.h"

#include <cstdio>

namespace vidorel {

int runRecordCommand(const std::vector<std::string>&) {
  std::fputs("vidorel: \"record\" is not available in this build yet\n", stderr);
  return 70;
}

} // namespace vidorel
