#pragma once

#include "workflow/platform.h"

#include <string>

namespace vidorel {

// The shell's windows, addressed by id ("review", "export", "settings").
class WindowHost : public Activation {
public:
  virtual ~WindowHost() = default;
  // Opens the window, or brings it forward when it is already open.
  virtual void showWindow(const std::string& id) = 0;
  virtual void closeWindow(const std::string& id) = 0;
  virtual bool isWindowOpen(const std::string& id) const = 0;
};

// The closures the coordinator calls: the review and settings windows need
// the front, so the program becomes a regular one first; the export window
// is opened and activated without changing the policy.
void openShellWindow(WindowHost& host, const std::string& id);
// Dismissing the review window returns the program to the tray.
void dismissShellWindow(WindowHost& host, const std::string& id);

} // namespace vidorel
