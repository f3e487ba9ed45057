#include "workflow_fixture.h"

namespace vidorel::testing {
namespace {

namespace fs = std::filesystem;

class TakeWorkflowTest : public WorkflowTest {};

TEST_F(TakeWorkflowTest, OneTakeFromNewSessionThroughReviewToTheNextCountdown) {
  run(manager->newSession(), 1000);
  // Permissions pass, the microphone warms up, the countdown runs.
  EXPECT_EQ(manager->state(), AppState::idle);
  EXPECT_TRUE(countdown.running);
  settle(3000);
  ASSERT_EQ(manager->state(), AppState::recording);
  EXPECT_TRUE(statusPanel.visible);
  EXPECT_EQ(calls.calls, (std::vector<std::string>{"recorder.prepareMicrophone", "countdown.run 3",
                                                   "recorder.startRecording scene-1-take-1.mov",
                                                   "statusPanel.show"}));

  calls.clear();
  press(ShortcutAction::endTake, 10);
  EXPECT_EQ(manager->state(), AppState::reviewing);
  EXPECT_EQ(manager->currentTakeURL(), takes() / "scene-1-take-1.mov");
  EXPECT_EQ(manager->pendingTakeDuration(), 2.5);
  EXPECT_EQ(calls.calls, (std::vector<std::string>{"recorder.stopRecording", "statusPanel.hide",
                                                   "open review"}));
  // Not part of the session until approved.
  EXPECT_TRUE(session().scenes[0].takes.empty());

  calls.clear();
  shortcuts.press(ShortcutAction::endTake);
  // The handler dismisses the window before the new take starts.
  EXPECT_EQ(calls.calls, std::vector<std::string>{"dismiss review"});
  EXPECT_EQ(manager->state(), AppState::idle);
  ASSERT_EQ(session().scenes[0].takes.size(), 1u);
  const Take& take = session().scenes[0].takes[0];
  EXPECT_EQ(take.filename, "scene-1-take-1.mov");
  EXPECT_EQ(std::pair(take.trimStart, take.trimEnd), std::pair(0.0, 2.5));
  EXPECT_EQ(session().scenes[0].selectedTakeID, take.id);
  // The manifest on disk already holds the approved take.
  EXPECT_EQ(store.load(session().scratchURL)->scenes, session().scenes);

  settle(4000);
  EXPECT_EQ(recorder.url, takes() / "scene-1-take-2.mov");
  // Approve + new scene: the next take is take 1 of scene 2.
  press(ShortcutAction::endTake, 10);
  press(ShortcutAction::nextScene, 4000);
  EXPECT_EQ(session().currentSceneIndex, 1);
  EXPECT_EQ(session().scenes[0].selectedTakeID, session().scenes[0].takes.at(1).id);
  EXPECT_EQ(recorder.url, takes() / "scene-2-take-1.mov");
  EXPECT_EQ(manager->state(), AppState::recording);
}

// Every hot key in every state, with and without a session.
TEST_F(TakeWorkflowTest, HotKeyTable) {
  // No session: nothing happens at all.
  for (ShortcutAction action : globalShortcutActions)
    shortcuts.press(action);
  settle();
  EXPECT_FALSE(manager->currentSession());
  EXPECT_TRUE(calls.calls.empty());

  // idle: startPause and retake nothing, nextScene a scene, endTake a take.
  openSessionWithoutTake();
  calls.clear();
  shortcuts.press(ShortcutAction::startPause);
  press(ShortcutAction::retake);
  EXPECT_TRUE(calls.calls.empty());
  press(ShortcutAction::nextScene);
  EXPECT_EQ(session().currentSceneIndex, 1);
  EXPECT_TRUE(calls.calls.empty());
  press(ShortcutAction::endTake);
  ASSERT_EQ(manager->state(), AppState::recording);
  EXPECT_EQ(recorder.url, takes() / "scene-2-take-1.mov");

  // recording: startPause pauses, retake does nothing; paused: resumes.
  calls.clear();
  shortcuts.press(ShortcutAction::retake);
  shortcuts.press(ShortcutAction::startPause);
  EXPECT_EQ(manager->state(), AppState::paused);
  shortcuts.press(ShortcutAction::retake);
  shortcuts.press(ShortcutAction::startPause);
  EXPECT_EQ(manager->state(), AppState::recording);
  EXPECT_EQ(calls.calls, (std::vector<std::string>{"recorder.pause", "recorder.resume"}));

  // paused: endTake ends the take.
  shortcuts.press(ShortcutAction::startPause);
  press(ShortcutAction::endTake, 10);
  ASSERT_EQ(manager->state(), AppState::reviewing);

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
  press(ShortcutAction::nextScene);
  EXPECT_EQ(session().scenes.size(), 3u);
  EXPECT_EQ(session().scenes[1].takes.size(), 1u);
  EXPECT_EQ(recorder.url, takes() / "scene-3-take-1.mov");
  EXPECT_TRUE(calls.contains("dismiss review"));

  // Once the coordinator is gone, its handlers do nothing.
  manager.reset();
  calls.clear();
  for (ShortcutAction action : globalShortcutActions)
    shortcuts.press(action);
  settle();
  EXPECT_TRUE(calls.calls.empty());
}

// A start that fails after creating its file: TakeSafetyTest.
TEST_F(TakeWorkflowTest, FailedPermissionOrCaptureStartLeavesNothingRunning) {
  probes.microphone = MicrophoneAuthorization::denied;
  run(manager->startNewSession());
  EXPECT_TRUE(calls.contains("alert Microphone access required"));
  EXPECT_FALSE(calls.contains("countdown.run 3"));

  probes.microphone = MicrophoneAuthorization::authorized;
  recorder.startError = "No microphone is available.";
  recorder.startErrorAfterStream = true;
  alerts.shown.clear();
  run(manager->startTake());
  EXPECT_EQ(manager->state(), AppState::idle);
  ASSERT_EQ(alerts.shown.size(), 1u);
  EXPECT_EQ(alerts.shown[0].message, "Couldn't start recording");
  EXPECT_TRUE(alerts.shown[0].informativeText.starts_with("No microphone is available.\n\n"));
  // The stream that had started is stopped and the microphone released.
  EXPECT_FALSE(recorder.recording || recorder.microphoneRunning);
}

TEST_F(TakeWorkflowTest, MenuAutoPauseResumesOnlyWhatItPaused) {
  recordFirstTake();
  manager->menuWillOpen();
  EXPECT_EQ(manager->state(), AppState::paused);
  manager->menuDidClose();
  EXPECT_EQ(manager->state(), AppState::recording);

  // Paused by hand: the menu leaves it paused.
  manager->pauseRecording();
  manager->menuWillOpen();
  manager->menuDidClose();
  EXPECT_EQ(manager->state(), AppState::paused);

  // Auto-paused, then ended from the menu: nothing is resumed.
  manager->resumeRecording();
  manager->menuWillOpen();
  run(manager->endTake(), 10);
  manager->menuDidClose();
  EXPECT_EQ(manager->state(), AppState::reviewing);
  EXPECT_EQ(calls.count("recorder.resume"), 2);
}

TEST_F(TakeWorkflowTest, ClosingTheReviewWindowByHandDiscardsTheTake) {
  recordFirstTake();
  run(manager->endTake(), 10);
  fs::path file = *manager->currentTakeURL();
  manager->reviewWindowDidClose();
  EXPECT_FALSE(fs::exists(file));
  settle();
  EXPECT_EQ(manager->state(), AppState::recording);

  // Closed by the session's close: not a decision.
  run(manager->endTake(), 10);
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
  openSessionWithoutTake();
  fs::path folder = session().scratchURL;
  fs::remove_all(folder);
  log->clear();
  manager->renameScene(session().scenes[0].id, "Intro");
  EXPECT_TRUE(session().isDirty);
  EXPECT_EQ(session().scenes[0].name, "Intro");
  ASSERT_EQ(log->messages(LogCategory::persistence).size(), 1u);
  EXPECT_TRUE(log->messages(LogCategory::persistence)[0].starts_with("autoSave failed: "));
  EXPECT_TRUE(alerts.shown.empty());

  fs::create_directories(folder);
  manager->renameScene(session().scenes[0].id, "");
  EXPECT_FALSE(session().isDirty);
  EXPECT_FALSE(session().scenes[0].name);
}

} // namespace
} // namespace vidorel::testing
