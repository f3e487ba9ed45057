#include "shell/alert_buttons.h"

namespace vidorel {

namespace {

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool throwsWorkAway(const std::string& title) {
  // "Don't Save" is written with either apostrophe.
  return startsWith(title, "Discard") || startsWith(title, "Delete") ||
         startsWith(title, "Don't") || startsWith(title, "Don\u2019t");
}

} // namespace

std::vector<AlertButtonPlan> planAlertButtons(const Alert& alert) {
  std::vector<std::string> titles = alert.buttons;
  if (titles.empty())
    titles.push_back("OK");

  std::vector<AlertButtonPlan> plan;
  plan.reserve(titles.size());
  bool haveEscape = false;
  for (size_t index = 0; index < titles.size(); ++index) {
    AlertButtonPlan button;
    button.title = titles[index];
    if (index == 0) {
      button.role = AlertButtonRole::accept;
      button.isDefault = true;
    } else if (button.title == "Cancel") {
      button.role = AlertButtonRole::reject;
    } else if (throwsWorkAway(button.title)) {
      button.role = AlertButtonRole::destructive;
    }
    if (!haveEscape && button.title == "Cancel") {
      button.isEscape = true;
      haveEscape = true;
    }
    plan.push_back(std::move(button));
  }
  // Escape on a lone button dismisses the alert through it, as closing an
  // informational alert does.
  if (plan.size() == 1)
    plan.front().isEscape = true;
  return plan;
}

} // namespace vidorel
