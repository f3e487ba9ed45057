#include "shell/window_glue.h"

namespace vidorel {

void openShellWindow(WindowHost& host, const std::string& id) {
  if (id == "review" || id == "settings")
    host.setActivationPolicy(ActivationPolicy::regular);
  host.showWindow(id);
  host.activate();
}

void dismissShellWindow(WindowHost& host, const std::string& id) {
  host.closeWindow(id);
  if (id == "review")
    host.setActivationPolicy(ActivationPolicy::accessory);
}

} // namespace vidorel
