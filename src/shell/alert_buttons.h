#pragma once

#include "workflow/platform.h"

#include <string>
#include <vector>

namespace vidorel {

// How one alert button is laid out: the role the dialog sorts it by and
// whether Return or Escape chooses it.
enum class AlertButtonRole { accept, reject, destructive, action };

struct AlertButtonPlan {
  std::string title;
  AlertButtonRole role = AlertButtonRole::action;
  bool isDefault = false;
  bool isEscape = false;
};

// The buttons of an alert in the order they were added. The first is the
// default one (Return); "Cancel" is the one Escape chooses and the lone
// button of a one-button alert is both. Titles that throw work away
// ("Discard…", "Delete…", "Don't Save") are destructive so the desktop's
// button layout keeps them apart from the default. An alert without
// buttons gets one "OK".
std::vector<AlertButtonPlan> planAlertButtons(const Alert& alert);

} // namespace vidorel
