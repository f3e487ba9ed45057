#pragma once

// Runs a shell command for a test and keeps what it printed.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>

namespace vidorel::testing {

struct CommandResult {
  int status = -1; // the exit status; -1 when it did not exit normally
  std::string output;
};

// Standard output as printed (standard error goes to the test's).
inline CommandResult runCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe)
    return result;
  char buffer[65536];
  while (size_t read = fread(buffer, 1, sizeof buffer, pipe))
    result.output.append(buffer, read);
  int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

inline std::string commandOutput(const std::string& command) {
  return runCommand(command).output;
}

// Standard output and error as one text, without trailing newlines.
inline CommandResult runShellCommand(const std::string& command) {
  CommandResult result = runCommand(command + " 2>&1");
  while (!result.output.empty() && result.output.back() == '\n')
    result.output.pop_back();
  return result;
}

// A path as one shell word, whatever characters it holds.
inline std::string shellQuoted(const std::filesystem::path& path) {
  std::string text = "'";
  for (char c : path.string()) {
    if (c == '\'')
      text += "'\\''";
    else
      text += c;
  }
  return text + "'";
}

// Standard output and error apart; standard error passes through errorFile.
struct SplitResult {
  int status = -1;
  std::string out, err;
};

inline SplitResult runSplit(const std::string& command, const std::filesystem::path& errorFile) {
  CommandResult result = runCommand(command + " 2>" + shellQuoted(errorFile));
  std::ifstream in(errorFile, std::ios::binary);
  std::stringstream err;
  err << in.rdbuf();
  return {result.status, std::move(result.output), err.str()};
}

} // namespace vidorel::testing
