#pragma once

// Runs a shell command for a test and keeps what it printed.

#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace vidorel::testing {

struct CommandResult {
  int status = -1; // the exit status; -1 when it did not exit normally
  std::string output;
};

// Standard output and error as one text, without trailing newlines.
inline CommandResult runShellCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe)
    return result;
  char buffer[4096];
  while (size_t read = fread(buffer, 1, sizeof buffer, pipe))
    result.output.append(buffer, read);
  int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  while (!result.output.empty() && result.output.back() == '\n')
    result.output.pop_back();
  return result;
}

} // namespace vidorel::testing
