#pragma once

#include "workflow/collaborators.h"

#include <functional>
#include <optional>
#include <string>

namespace vidorel {

// The update feed built into this copy of the program; nothing when the
// build configured none.
std::optional<std::string> configuredUpdateFeed();

// A small updater: with an http(s) feed address it can check, and a check
// shows the feed (the release page) in the user's browser; without one it
// answers that it cannot check, and the menu explains why.
class FeedUpdater final : public Updater {
public:
  using OpenURL = std::function<void(const std::string&)>;
  FeedUpdater(std::optional<std::string> feed, OpenURL openURL)
      : feed_(std::move(feed)), openURL_(std::move(openURL)) {}

  void setAutomaticallyChecksForUpdates(bool on) override { automatic_ = on; }
  bool automaticallyChecksForUpdates() const { return automatic_; }
  bool start() override;
  bool canCheckForUpdates() const override { return started_; }
  void checkForUpdates() override;

private:
  std::optional<std::string> feed_;
  OpenURL openURL_;
  bool automatic_ = true;
  bool started_ = false;
};

} // namespace vidorel
