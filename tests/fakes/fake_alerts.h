#pragma once

#include "workflow/platform.h"

#include <vector>

namespace vidorel {

// Records every alert and answers each with a scripted button index (the
// first button when the script has run out).
class FakeAlertPresenter final : public AlertPresenter {
public:
  std::vector<Alert> shown;
  std::vector<int> choices;

  int runModal(const Alert& alert) override {
    shown.push_back(alert);
    if (choices.empty())
      return 0;
    int choice = choices.front();
    choices.erase(choices.begin());
    return choice;
  }
};

} // namespace vidorel
