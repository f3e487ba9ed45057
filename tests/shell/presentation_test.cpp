// How the shell presents things: alert buttons, the status panel, and
// the activation policy around its windows.

#include "shell/alert_buttons.h"
#include "shell/recording_status.h"
#include "shell/window_glue.h"

#include <gtest/gtest.h>

#include <string>

namespace vidorel {
namespace {

// Each plan written as title, role, default (Return), Escape.
std::string describe(const std::vector<AlertButtonPlan>& plan) {
  static const char* roles[] = {"accept", "reject", "destructive", "action"};
  std::string text;
  for (const AlertButtonPlan& button : plan)
    text += button.title + " " + roles[static_cast<int>(button.role)] +
            (button.isDefault ? " default" : "") + (button.isEscape ? " escape" : "") + "\n";
  return text;
}

TEST(AlertButtons, OrderRolesDefaultAndEscape) {
  auto plan = [](std::vector<std::string> buttons) {
    return describe(planAlertButtons(Alert{"Title", "", AlertStyle::warning, std::move(buttons)}));
  };
  EXPECT_EQ(plan({"Save…", "Don\u2019t Save", "Cancel"}),
            "Save… accept default\nDon\u2019t Save destructive\nCancel reject escape\n");
  // Without buttons: one OK that Escape also chooses.
  EXPECT_EQ(plan({}), "OK accept default escape\n");
  // Without a "Cancel", Escape picks nothing: the alert answers -1.
  EXPECT_EQ(plan({"Open Sound Settings", "Discard all", "Later"}),
            "Open Sound Settings accept default\nDiscard all destructive\nLater action\n");
}

TEST(RecordingStatus, TitleMarkAndHintsFollowTheStateAndNameTheFactoryKeys) {
  using Hints = std::vector<StatusHint>;
  struct Case {
    AppState state;
    const char* title;
    StatusMark mark;
    Hints hints;
  };
  const Case cases[] = {
      {AppState::idle,
       "Ready — S12T10",
       StatusMark::secondary,
       {{"Ctrl+Shift+Return", "Start take"}, {"Ctrl+Shift+N", "Next scene"}}},
      {AppState::recording,
       "REC — S12T10",
       StatusMark::red,
       {{"Ctrl+Shift+Space", "Pause"},
        {"Ctrl+Shift+Return", "End take"},
        {"Ctrl+Shift+N", "End + next scene"}}},
      {AppState::paused,
       "PAUSED — S12T10",
       StatusMark::yellow,
       {{"Ctrl+Shift+Space", "Resume"}, {"Ctrl+Shift+Return", "End take"}}},
      {AppState::reviewing,
       "Review — S12",
       StatusMark::blue,
       {{"Ctrl+Shift+Return", "Approve + new take"},
        {"Ctrl+Shift+N", "Approve + new scene"},
        {"Ctrl+Shift+R", "Retake"}}},
  };
  for (const Case& c : cases) {
    StatusContent content = statusContent(c.state, 12, 10);
    EXPECT_EQ(content.title, c.title);
    EXPECT_EQ(content.mark, c.mark) << c.title;
    EXPECT_EQ(content.hints, c.hints) << c.title;
  }
}

TEST(RecordingStatus, PanelSitsTopCentreTwelvePixelsBelowTheWorkArea) {
  // 1440 x 875 work area at the origin: the 260 wide panel's left edge is at
  // 590.
  EXPECT_EQ(statusPanelOrigin({0, 0, 1440, 875}, kStatusPanelWidth), (PanelPoint{590, 12}));
  // A work area below a 32 px top bar on a second screen to the right.
  EXPECT_EQ(statusPanelOrigin({1280, 32, 1920, 1048}, 220), (PanelPoint{2130, 44}));
}

// Writes down the calls the glue makes.
class FakeWindowHost final : public WindowHost {
public:
  void showWindow(const std::string& id) override { calls += "show " + id + ", "; }
  void closeWindow(const std::string& id) override { calls += "close " + id + ", "; }
  bool isWindowOpen(const std::string&) const override { return false; }
  void setActivationPolicy(ActivationPolicy value) override {
    calls += value == ActivationPolicy::regular ? "regular, " : "accessory, ";
  }
  void activate() override { calls += "activate, "; }
  std::string calls;
};

TEST(WindowGlue, ReviewAndSettingsBecomeRegularAndOnlyReviewReturnsToTheTray) {
  struct Case {
    const char* id;
    const char* open;
    const char* dismiss;
  };
  for (Case c : {Case{"review", "regular, show review, activate, ", "close review, accessory, "},
                 Case{"settings", "regular, show settings, activate, ", "close settings, "},
                 Case{"export", "show export, activate, ", "close export, "}}) {
    FakeWindowHost host;
    openShellWindow(host, c.id);
    EXPECT_EQ(host.calls, c.open);
    host.calls.clear();
    dismissShellWindow(host, c.id);
    EXPECT_EQ(host.calls, c.dismiss);
  }
}

} // namespace
} // namespace vidorel
