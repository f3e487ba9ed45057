#pragma once

#include <string>
#include <vector>

namespace vidorel {

// Each sub-command of the vidorel executable takes its own arguments (the
// words after the command name) and returns the process exit status.
int runCheckCommand(const std::vector<std::string>& args);
int runRecordCommand(const std::vector<std::string>& args);
int runExportCommand(const std::vector<std::string>& args);
// Sends one action to the running desktop app and prints its state.
int runCtlCommand(const std::vector<std::string>& args);
// The desktop app: tray icon, hot keys and windows.
int runDesktopApp(int argc, char** argv);

} // namespace vidorel
