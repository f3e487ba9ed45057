#include "workflow_fixture.h"

#include "model/manifest.h"

namespace vidorel::testing {
namespace {

namespace fs = std::filesystem;

class TakeWorkflowTest : public WorkflowTest {};

TEST_F(TakeWorkflowTest, OneTakeFromNewSessionThroughReviewToTheNextCountdown) {
  start();
  spawn(manager->newSession());
  settle(1000);
  // Permissions pass, the microphone warms up, the countdown runs.
  EXPECT_EQ(manager->state(), AppState::idle);
  EXPECT_TRUE(countdown.running);
  EXPECT_TRUE(manager->permissionsOK());
  settle(3000);
  ASSERT_EQ(manager->state(), AppState::recording);
  EXPECT_TRUE(statusPanel.visible);
  EXPECT_EQ(recorder.url, takes() / "scene-1-take-1.mov");
  EXPECT_FALSE(manager->currentTakeURL());
  std::vector<std::string> expected = {"recorder.prepareMicrophone", "countdown.run 3",
                                       "recorder.startRecording scene-1-take-1.mov",
                                       "statusPanel.show"};
  EXPECT_EQ(calls.calls, expected);

  calls.clear();
  shortcuts.press(ShortcutAction::endTake);
  settle(10);
  EXPECT_EQ(manager->state(), AppState::reviewing);
  EXPECT_EQ(manager->currentTakeURL(), takes() / "scene-1-take-1.mov");
  EXPECT_EQ(manager->pendingTakeDuration(), 2.5);
  expected = {"recorder.stopRecording", "statusPanel.hide", "open review"};
  EXPECT_EQ(calls.calls, expected);
  EXPECT_TRUE(log->contains(LogCategory::state, "endTake called, state=recording"));
  EXPECT_TRUE(
      log->contains(LogCategory::state, "endTake: got scene-1-take-1.mov duration=2.500000"));
  // Not part of the session until approved.
  EXPECT_TRUE(session().scenes[0].takes.empty());

  calls.clear();
  shortcuts.press(ShortcutAction::endTake);
  // The handler dismisses the window before the new take starts.
  EXPECT_EQ(calls.calls, std::vector<std::string>{"dismiss review"});
  EXPECT_EQ(manager->state(), AppState::idle);
  EXPECT_FALSE(manager->currentTakeURL());
  ASSERT_EQ(session().scenes[0].takes.size(), 1u);
  const Take& take = session().scenes[0].takes[0];
  EXPECT_EQ(take.filename, "scene-1-take-1.mov");
  EXPECT_EQ(take.trimStart, 0);
  EXPECT_EQ(take.trimEnd, 2.5);
  EXPECT_FALSE(take.name);
  EXPECT_EQ(session().scenes[0].selectedTakeID, take.id);
  EXPECT_FALSE(session().isDirty);
  // The manifest on disk already holds the approved take.
  auto loaded = store.load(session().scratchURL);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->scenes[0].takes.size(), 1u);

  settle(4000);
  EXPECT_EQ(manager->state(), AppState::recording);
  EXPECT_EQ(recorder.url, takes() / "scene-1-take-2.mov");

  // Approve + new scene: the next take is take 1 of scene 2.
  shortcuts.press(ShortcutAction::endTake);
  settle(10);
  shortcuts.press(ShortcutAction::nextScene);
  settle(4000);
  EXPECT_EQ(session().scenes.size(), 2u);
  EXPECT_EQ(session().currentSceneIndex, 1);
  EXPECT_EQ(session().scenes[0].takes.size(), 2u);
  EXPECT_EQ(session().scenes[0].selectedTakeID, session().scenes[0].takes[1].id);
  EXPECT_EQ(recorder.url, takes() / "scene-2-take-1.mov");
  EXPECT_EQ(manager->state(), AppState::recording);
}

// Every hot key in every state, with and without a session.
TEST_F(TakeWorkflowTest, HotKeyTable) {
  start();
  // No session: nothing happens at all.
  for (ShortcutAction action : globalShortcutActions)
    shortcuts.press(action);
  settle();
  EXPECT_FALSE(manager->currentSession());
  EXPECT_TRUE(calls.calls.empty());

  // idle with a session: startPause and retake do nothing, nextScene adds
  // a scene without a take, endTake starts one.
  openSessionWithoutTake();
  calls.clear();
  shortcuts.press(ShortcutAction::startPause);
  shortcuts.press(ShortcutAction::retake);
  settle();
  EXPECT_TRUE(calls.calls.empty());
  shortcuts.press(ShortcutAction::nextScene);
  settle();
  EXPECT_EQ(session().scenes.size(), 2u);
  EXPECT_EQ(session().currentSceneIndex, 1);
  EXPECT_FALSE(session().isDirty);
  EXPECT_TRUE(calls.calls.empty());
  shortcuts.press(ShortcutAction::endTake);
  settle();
  ASSERT_EQ(manager->state(), AppState::recording);
  EXPECT_EQ(recorder.url, takes() / "scene-2-take-1.mov");

  // recording: startPause pauses, retake does nothing; paused: resumes.
  calls.clear();
  log->clear();
  shortcuts.press(ShortcutAction::retake);
  EXPECT_TRUE(calls.calls.empty());
  shortcuts.press(ShortcutAction::startPause);
  EXPECT_EQ(manager->state(), AppState::paused);
  EXPECT_TRUE(statusPanel.visible);
  shortcuts.press(ShortcutAction::retake);
  shortcuts.press(ShortcutAction::startPause);
  EXPECT_EQ(manager->state(), AppState::recording);
  EXPECT_EQ(calls.calls, (std::vector<std::string>{"recorder.pause", "recorder.resume"}));
  EXPECT_EQ(log->messages(LogCategory::state),
            (std::vector<std::string>{"pauseRecording", "resumeRecording"}));

  // paused: endTake ends the take.
  shortcuts.press(ShortcutAction::startPause);
  shortcuts.press(ShortcutAction::endTake);
  settle(10);
  ASSERT_EQ(manager->state(), AppState::reviewing);
  EXPECT_TRUE(log->contains(LogCategory::state, "endTake called, state=paused"));

  // reviewing: startPause nothing; retake deletes and starts again.
  calls.clear();
  shortcuts.press(ShortcutAction::startPause);
  EXPECT_TRUE(calls.calls.empty());
  fs::path file = *manager->currentTakeURL();
  manager->setPendingTrim(0.5, 1.0); // dies with the deleted take
  shortcuts.press(ShortcutAction::retake);
  EXPECT_EQ(calls.calls, std::vector<std::string>{"dismiss review"});
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(manager->state(), AppState::idle);
  settle();
  // The deleted take never entered the scene, so its number comes again.
  EXPECT_EQ(recorder.url, takes() / "scene-2-take-1.mov");
  EXPECT_TRUE(session().scenes[1].takes.empty());

  // recording: nextScene ends, approves, adds a scene and starts its take.
  calls.clear();
  shortcuts.press(ShortcutAction::nextScene);
  settle();
  EXPECT_EQ(session().scenes.size(), 3u);
  ASSERT_EQ(session().scenes[1].takes.size(), 1u);
  const Take& kept = session().scenes[1].takes[0];
  EXPECT_EQ(kept.trimStart, 0.0);
  EXPECT_EQ(kept.trimEnd, kept.duration);
  EXPECT_EQ(recorder.url, takes() / "scene-3-take-1.mov");
  EXPECT_TRUE(calls.contains("dismiss review"));
  EXPECT_EQ(manager->state(), AppState::recording);
}

TEST_F(TakeWorkflowTest, AHotKeyDuringTheCountdownCancelsIt) {
  start();
  spawn(manager->newSession());
  settle(1000);
  ASSERT_TRUE(countdown.running);
  EXPECT_TRUE(recorder.microphoneRunning);
  countdown.cancel(); // the overlay turns a hot key into this
  settle();
  EXPECT_EQ(manager->state(), AppState::idle);
  EXPECT_FALSE(recorder.microphoneRunning);
  EXPECT_TRUE(log->contains(LogCategory::state, "countdown cancelled"));
  EXPECT_EQ(recorder.starts, 0);
  EXPECT_FALSE(manager->startInProgress());
}

TEST_F(TakeWorkflowTest, FailedPermissionOrCaptureStartLeavesNothingRunning) {
  start();
  probes.microphone = MicrophoneAuthorization::denied;
  spawn(manager->startNewSession());
  settle();
  EXPECT_FALSE(manager->permissionsOK());
  EXPECT_EQ(manager->state(), AppState::idle);
  EXPECT_TRUE(alerts.showed("Microphone access required"));
  EXPECT_FALSE(calls.contains("countdown.run 3"));

  probes.microphone = MicrophoneAuthorization::authorized;
  recorder.startError = "No microphone is available.";
  recorder.startErrorAfterStream = true;
  alerts.shown.clear();
  calls.clear();
  spawn(manager->startTake());
  settle();
  EXPECT_TRUE(manager->permissionsOK());
  EXPECT_EQ(manager->state(), AppState::idle);
  EXPECT_FALSE(statusPanel.visible);
  EXPECT_TRUE(
      log->contains(LogCategory::recorder, "startRecording failed: No microphone is available."));
  ASSERT_EQ(alerts.shown.size(), 1u);
  EXPECT_EQ(alerts.shown[0].message, "Couldn't start recording");
  EXPECT_EQ(alerts.shown[0].informativeText,
            "No microphone is available.\n\nIf no microphone answers or the screen cannot be "
            "read, check the desktop's sound settings (on Wayland, share the screen when the "
            "desktop asks), then try again.");
  EXPECT_TRUE(alerts.shown[0].buttons.empty());
  // The stream that had started is stopped, the microphone released and
  // the partial file removed before the alert.
  EXPECT_FALSE(recorder.recording);
  EXPECT_FALSE(recorder.microphoneRunning);
  EXPECT_FALSE(fs::exists(takes() / "scene-1-take-1.mov"));
  EXPECT_TRUE(calls.contains("recorder.stopRecording"));
}

TEST_F(TakeWorkflowTest, MenuAutoPauseResumesOnlyWhatItPaused) {
  start();
  recordFirstTake();
  manager->menuWillOpen();
  EXPECT_EQ(manager->state(), AppState::paused);
  EXPECT_TRUE(manager->autoPausedByMenu());
  manager->menuDidClose();
  EXPECT_EQ(manager->state(), AppState::recording);
  EXPECT_FALSE(manager->autoPausedByMenu());

  // Paused by hand: the menu leaves it paused.
  manager->pauseRecording();
  manager->menuWillOpen();
  EXPECT_FALSE(manager->autoPausedByMenu());
  manager->menuDidClose();
  EXPECT_EQ(manager->state(), AppState::paused);

  // Auto-paused, then ended from the menu: nothing is resumed.
  manager->resumeRecording();
  manager->menuWillOpen();
  spawn(manager->endTake());
  settle(10);
  manager->menuDidClose();
  EXPECT_EQ(manager->state(), AppState::reviewing);
  EXPECT_FALSE(manager->autoPausedByMenu());
  EXPECT_EQ(calls.count("recorder.resume"), 2);
}

TEST_F(TakeWorkflowTest, ClosingTheReviewWindowByHandDiscardsTheTake) {
  start();
  recordFirstTake();
  spawn(manager->endTake());
  settle(10);
  fs::path file = *manager->currentTakeURL();
  manager->reviewWindowDidClose();
  EXPECT_FALSE(fs::exists(file));
  EXPECT_EQ(manager->state(), AppState::idle);
  settle();
  EXPECT_EQ(manager->state(), AppState::recording);

  // Closed by the session's close: not a decision.
  spawn(manager->endTake());
  settle(10);
  manager->dismissWindow = [this](const std::string& id) {
    if (id == "review")
      manager->reviewWindowDidClose();
  };
  file = *manager->currentTakeURL();
  manager->closeSession();
  EXPECT_TRUE(fs::exists(file));
  EXPECT_FALSE(manager->currentSession());
  settle();
  EXPECT_EQ(recorder.starts, 2);
}

TEST_F(TakeWorkflowTest, FailedAutoSaveKeepsTheSessionDirtyUntilTheNextSave) {
  start();
  openSessionWithoutTake();
  fs::path folder = session().scratchURL;
  fs::remove_all(folder);
  manager->renameScene(session().scenes[0].id, "Intro");
  EXPECT_TRUE(session().isDirty);
  EXPECT_EQ(session().scenes[0].name, "Intro");
  std::vector<std::string> lines = log->messages(LogCategory::persistence);
  EXPECT_EQ(
      std::count_if(lines.begin(), lines.end(),
                    [](const std::string& line) { return line.starts_with("autoSave failed: "); }),
      1);
  EXPECT_TRUE(alerts.shown.empty());

  fs::create_directories(folder);
  manager->renameScene(session().scenes[0].id, "");
  EXPECT_FALSE(session().isDirty);
  EXPECT_FALSE(session().scenes[0].name);
}

TEST_F(TakeWorkflowTest, HandlersDoNothingOnceTheCoordinatorIsGone) {
  start();
  manager.reset();
  for (ShortcutAction action : globalShortcutActions)
    shortcuts.press(action);
  settle();
  EXPECT_TRUE(calls.calls.empty());
}

} // namespace
} // namespace vidorel::testing
