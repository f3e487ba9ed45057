#pragma once

#include "workflow/platform.h"

#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace vidorel {

// Keeps every panel shown with its options; a test answers the oldest
// open one later, as the user would.
class FakeFilePanels final : public FilePanels {
public:
  std::vector<OpenPanelOptions> openPanels;
  std::vector<SavePanelOptions> savePanels;

  void showOpenPanel(const OpenPanelOptions& options, Answer answer) override {
    openPanels.push_back(options);
    pending_.push_back(std::move(answer));
  }
  void showSavePanel(const SavePanelOptions& options, Answer answer) override {
    savePanels.push_back(options);
    pending_.push_back(std::move(answer));
  }

  size_t openCount() const { return pending_.size(); }

  // Confirms the oldest open panel with path, or cancels it with nothing.
  void answer(std::optional<std::filesystem::path> path) {
    if (pending_.empty())
      throw std::logic_error("no file panel is open");
    Answer answer = std::move(pending_.front());
    pending_.erase(pending_.begin());
    answer(std::move(path));
  }

private:
  std::vector<Answer> pending_;
};

// Records every policy switch and activation, in order.
class FakeActivation final : public Activation {
public:
  enum class Call { regular, accessory, activate };
  std::vector<Call> calls;

  void setActivationPolicy(ActivationPolicy policy) override {
    calls.push_back(policy == ActivationPolicy::regular ? Call::regular : Call::accessory);
  }
  void activate() override { calls.push_back(Call::activate); }
};

} // namespace vidorel
