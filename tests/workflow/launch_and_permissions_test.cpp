#include "workflow_fixture.h"

#include "workflow/updater.h"

namespace vidorel::testing {
namespace {

class LaunchTest : public WorkflowTest {
protected:
  LaunchTest() { launchAtSetUp = false; }
};

// Coroutine parameters live in the frame; a lambda's captures would die
// with the temporary lambda while the request still waits.
Task<void> askScreen(PermissionsCoordinator& permissions, bool& answer, bool& finished) {
  answer = co_await permissions.ensureScreenRecordingAccess();
  finished = true;
}

Task<void> askMicrophone(PermissionsCoordinator& permissions, bool& answer) {
  answer = co_await permissions.ensureMicrophoneAccess();
}

TEST_F(LaunchTest, LaunchSequenceAsksOnceThenLivesInTheTrayWithFourHotKeys) {
  makeManager();
  EXPECT_EQ(shortcuts.handlers.size(), 4u);
  EXPECT_EQ(calls.calls, std::vector<std::string>{"updater.start"});
  settle(1000);
  EXPECT_EQ(calls.calls, (std::vector<std::string>{"updater.start", "policy regular", "activate",
                                                   "policy accessory", "shortcuts.register 4"}));
  for (ShortcutAction action : globalShortcutActions)
    EXPECT_EQ(shortcuts.registered.at(action), defaultBinding(action));
  EXPECT_TRUE(permissions.cachedContent());

  // A second run of the flow touches nothing.
  calls.clear();
  spawn(permissions.runLaunchFlow());
  settle();
  EXPECT_TRUE(calls.calls.empty());
}

TEST_F(LaunchTest, UpdateFlagIsStoredAndRestoredAndChecksByHand) {
  makeManager();
  EXPECT_EQ(updater.automatic, true);
  manager->setAutomaticallyChecksForUpdates(false);
  EXPECT_EQ(updater.automatic, false);
  manager.reset();
  updater.automatic.reset();
  makeManager();
  EXPECT_FALSE(manager->automaticallyChecksForUpdates());
  EXPECT_EQ(updater.automatic, false);

  // A check by hand without a feed says why; with one it asks the updater.
  manager->checkForUpdates();
  EXPECT_TRUE(calls.contains("alert Can't check for updates"));
  updater.canCheck = true;
  manager->checkForUpdates();
  EXPECT_TRUE(calls.contains("updater.checkForUpdates"));
  EXPECT_EQ(alerts.shown.size(), 1u);
}

TEST_F(LaunchTest, ReloadRegistersOnlyTheGlobalActions) {
  start();
  ShortcutBinding custom = defaultBinding(ShortcutAction::retake);
  custom.carbonKeyCode = kVK_ANSI_K;
  custom.keyEquivalent = "k";
  preferences.setBinding(custom, ShortcutAction::retake);
  preferences.setBinding(custom, ShortcutAction::save);
  manager->reloadShortcuts();
  EXPECT_EQ(shortcuts.registered.size(), 4u);
  EXPECT_EQ(shortcuts.registered.at(ShortcutAction::retake), custom);
  EXPECT_EQ(manager->shortcutBindings().at(ShortcutAction::save), custom);
  EXPECT_FALSE(shortcuts.registered.count(ShortcutAction::save));
}

TEST_F(LaunchTest, DeniedMicrophoneStopsTheLaunchFlowAndUndecidedAsks) {
  probes.microphone = MicrophoneAuthorization::denied;
  alerts.answers = {1}; // Cancel
  makeManager();
  settle(1000);
  ASSERT_EQ(alerts.shown.size(), 1u);
  EXPECT_EQ(alerts.shown[0].message, "Microphone access required");
  EXPECT_TRUE(alerts.shown[0].informativeText.starts_with("No microphone answered"));
  EXPECT_TRUE(probes.settingsOpened.empty());
  EXPECT_EQ(probes.preflights, 0);
  // The sequence goes on regardless.
  EXPECT_EQ(calls.count("shortcuts.register 4"), 1);

  // Undecided: asked, and a refusal brings no alert.
  probes.microphone = MicrophoneAuthorization::notDetermined;
  probes.grantOnRequest = false;
  bool answer = true;
  spawn(askMicrophone(permissions, answer));
  settle();
  EXPECT_FALSE(answer);
  EXPECT_TRUE(calls.contains("probe.requestMicrophone"));
  EXPECT_EQ(alerts.shown.size(), 1u);
}

// Polled every half second until a fetch of the screens works, for at most
// 240 polls; a fetch that works while the preflight still says no counts.
TEST_F(LaunchTest, ScreenAccessPollsUntilGrantedOrGivesUpAfter240) {
  struct Case {
    std::optional<int> grantedFrom;
    bool fetchWithoutPreflight, granted;
    int fetches;
  };
  for (Case c : {Case{0, false, true, 1}, Case{17, false, true, 17},
                 Case{std::nullopt, true, true, 1}, Case{std::nullopt, false, false, 240}}) {
    SCOPED_TRACE(c.fetches);
    probes = FakePermissionProbes(calls);
    probes.screenGrantedFromCall = c.grantedFrom;
    probes.fetchWithoutPreflight = c.fetchWithoutPreflight;
    bool answer = !c.granted, finished = false;
    Milliseconds started = loop.now();
    spawn(askScreen(permissions, answer, finished));
    ASSERT_TRUE(loop.advanceUntil([&] { return finished; }, Milliseconds(200'000)));
    EXPECT_EQ(answer, c.granted);
    EXPECT_EQ(probes.fetches, c.fetches);
    if (!c.granted) {
      EXPECT_EQ(loop.now() - started, Milliseconds(120'000));
    }
    EXPECT_EQ(alerts.shown.size(), c.granted ? 0u : 1u);
  }
  // On X11 nothing grants access: the alert says what failed and has no
  // settings to open.
  EXPECT_EQ(alerts.shown.at(0).message, "Screen could not be read");
  EXPECT_TRUE(alerts.shown[0].buttons.empty());
}

TEST(FeedUpdaterTest, CanCheckOnlyWithAWebFeed) {
  std::vector<std::string> opened;
  auto open = [&](const std::string& url) { opened.push_back(url); };
  for (std::optional<std::string> feed : {std::optional<std::string>(), {"file:///etc/passwd"}}) {
    FeedUpdater updater(feed, open);
    EXPECT_FALSE(updater.start() || updater.canCheckForUpdates());
    updater.checkForUpdates();
  }
  FeedUpdater feed(std::string("https://vidorel.org/releases"), open);
  EXPECT_TRUE(feed.start());
  feed.checkForUpdates();
  EXPECT_EQ(opened, std::vector<std::string>{"https://vidorel.org/releases"});
}

} // namespace
} // namespace vidorel::testing
