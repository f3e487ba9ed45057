#include "shell/window_glue.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace vidorel {
namespace {

class FakeWindowHost final : public WindowHost {
public:
  void showWindow(const std::string& id) override {
    calls.push_back("show " + id);
    open.insert(id);
  }
  void closeWindow(const std::string& id) override {
    calls.push_back("close " + id);
    open.erase(id);
  }
  bool isWindowOpen(const std::string& id) const override { return open.count(id) != 0; }
  void setActivationPolicy(ActivationPolicy value) override {
    calls.push_back(value == ActivationPolicy::regular ? "regular" : "accessory");
    policy = value;
  }
  void activate() override { calls.push_back("activate"); }

  std::vector<std::string> calls;
  std::set<std::string> open;
  ActivationPolicy policy = ActivationPolicy::accessory;
};

using Calls = std::vector<std::string>;

TEST(WindowGlue, ReviewAndSettingsBecomeRegularBeforeOpening) {
  FakeWindowHost host;
  openShellWindow(host, "review");
  EXPECT_EQ(host.calls, (Calls{"regular", "show review", "activate"}));
  host.calls.clear();
  openShellWindow(host, "settings");
  EXPECT_EQ(host.calls, (Calls{"regular", "show settings", "activate"}));
}

TEST(WindowGlue, ExportOpensAndActivatesWithoutChangingThePolicy) {
  FakeWindowHost host;
  openShellWindow(host, "export");
  EXPECT_EQ(host.calls, (Calls{"show export", "activate"}));
  EXPECT_EQ(host.policy, ActivationPolicy::accessory);
}

TEST(WindowGlue, DismissingReviewReturnsToTheTrayButExportDoesNot) {
  FakeWindowHost host;
  openShellWindow(host, "review");
  openShellWindow(host, "export");
  host.calls.clear();
  dismissShellWindow(host, "export");
  EXPECT_EQ(host.calls, (Calls{"close export"}));
  EXPECT_EQ(host.policy, ActivationPolicy::regular);
  dismissShellWindow(host, "review");
  EXPECT_EQ(host.calls, (Calls{"close export", "close review", "accessory"}));
  EXPECT_FALSE(host.isWindowOpen("review"));
}

} // namespace
} // namespace vidorel
