// The screen-cast portal's dialog as the screen-recording permission: a
// refusal is known at once and shows the alert without the long wait for
// a permission granted elsewhere.

#include "base/virtual_main_loop.h"
#include "fakes/fake_workflow.h"
#include "workflow/permissions.h"

#include <gtest/gtest.h>

namespace vidorel::testing {
namespace {

// The portal's answers: nothing decided until the user answers the dialog.
class DialogProbes final : public PermissionProbes {
public:
  bool granted = false;
  bool refused = false;
  int requests = 0;
  std::vector<SettingsPane> settingsOpened;

  MicrophoneAuthorization microphoneStatus() override {
    return MicrophoneAuthorization::authorized;
  }
  void requestMicrophoneAccess(std::function<void(bool)> answer) override { answer(true); }
  bool screenCapturePreflight() override { return granted; }
  void requestScreenCaptureAccess() override { ++requests; }
  bool screenCaptureRefused() override { return refused; }
  bool screenSharedThroughDialog() override { return true; }
  void fetchShareableContent(std::function<void(std::optional<ShareableContent>)> answer) override {
    if (!granted) {
      answer(std::nullopt);
      return;
    }
    answer(ShareableContent{{DisplayInfo{"portal", 0, 0, 1920, 1080}}});
  }
  void openSettings(SettingsPane pane) override { settingsOpened.push_back(pane); }
};

// The app asking for the screen, the dialog up.
struct DialogRun {
  DialogRun() { spawn(ask()); }
  Task<void> ask() { answer = co_await permissions.ensureScreenRecordingAccess(); }

  VirtualMainLoop loop;
  CallLog calls;
  FakeAlerts alerts{calls};
  FakeActivation activation{calls};
  DialogProbes probes;
  PermissionsCoordinator permissions{loop, probes, alerts, activation};
  std::optional<bool> answer;
};

TEST(PortalPermission, ARefusedDialogShowsTheAlertAtTheNextPoll) {
  DialogRun run;
  run.loop.runUntilIdle();
  EXPECT_EQ(run.probes.requests, 1);
  run.loop.advance(Milliseconds(1200));
  EXPECT_FALSE(run.answer.has_value()) << "the dialog is still up";
  run.probes.refused = true;
  run.alerts.answers.push_back(0); // "OK"
  run.loop.advance(Milliseconds(500));
  ASSERT_EQ(run.answer, false);
  ASSERT_EQ(run.alerts.shown.size(), 1u);
  EXPECT_EQ(run.alerts.shown[0].message, "Screen Recording access required");
  // The dialog is the only place access is given: the alert sends the user
  // back to it, not to any settings.
  EXPECT_EQ(run.alerts.shown[0].informativeText,
            "Vidorel records the screen only once you share it in the desktop's screen-sharing "
            "dialog. Start the take again and choose the screen to share there.");
  EXPECT_TRUE(run.probes.settingsOpened.empty());
}

TEST(PortalPermission, AStartedSessionIsAccessWithTheMonitorItShares) {
  DialogRun run;
  run.loop.advance(Milliseconds(3000));
  run.probes.granted = true;
  run.loop.advance(Milliseconds(500));
  ASSERT_EQ(run.answer, true);
  EXPECT_TRUE(run.alerts.shown.empty());
  ASSERT_TRUE(run.permissions.cachedContent());
  EXPECT_EQ(run.permissions.cachedContent()->displays.at(0).width, 1920);
}

} // namespace
} // namespace vidorel::testing
