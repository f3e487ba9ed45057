#include "workflow_fixture.h"

#include "base/xdg_paths.h"

namespace vidorel::testing {
namespace {

namespace fs = std::filesystem;

constexpr int kSave = 0;
constexpr int kDontSave = 1;
constexpr int kCancel = 2;

class SessionCommandsTest : public WorkflowTest {
protected:
  // A session with one approved take in scene 1, idle, never saved.
  void sessionWithOneTake() {
    recordFirstTake();
    shortcuts.press(ShortcutAction::endTake);
    settle(10);
    manager->approvePendingTake();
    ASSERT_EQ(manager->state(), AppState::idle);
    probe.durations["scene-1-take-1.mov"] = 2.5;
  }

  fs::path packagePath(const std::string& name) { return folders_.path() / name; }
};

TEST_F(SessionCommandsTest, UnsavedChangesPromptOnNewOpenAndClose) {
  start();
  sessionWithOneTake();
  fs::path scratch = session().scratchURL;

  // Cancel leaves everything as it was.
  alerts.answers = {kCancel};
  spawn(manager->newSession());
  settle();
  ASSERT_EQ(alerts.shown.size(), 1u);
  const Alert& prompt = alerts.shown[0];
  EXPECT_EQ(prompt.message, "Save recording before closing?");
  EXPECT_EQ(prompt.informativeText, "Your recording has unsaved changes. Save before continuing?");
  EXPECT_EQ(prompt.buttons, (std::vector<std::string>{"Save…", "Don’t Save", "Cancel"}));
  EXPECT_EQ(session().scratchURL, scratch);

  // "Save…" then a cancelled save panel: no close, no new session.
  alerts.answers = {kSave};
  spawn(manager->newSession());
  settle();
  ASSERT_TRUE(panels.isUp());
  EXPECT_EQ(panels.saveOptions->proposedName, "Recording.vidorel");
  panels.answer(std::nullopt);
  settle();
  EXPECT_EQ(session().scratchURL, scratch);
  EXPECT_FALSE(session().bundleURL);
  EXPECT_EQ(recorder.starts, 1);

  alerts.answers = {kSave};
  manager->openSession();
  panels.answer(std::nullopt);
  settle();
  EXPECT_FALSE(calls.contains("panel.open"));
  alerts.answers = {kSave};
  spawn(manager->closeRecording());
  settle();
  panels.answer(std::nullopt);
  settle();
  EXPECT_TRUE(manager->currentSession());

  // "Don’t Save" on close deletes the whole scratch folder.
  alerts.answers = {kDontSave};
  spawn(manager->closeRecording());
  settle();
  EXPECT_FALSE(manager->currentSession());
  EXPECT_FALSE(fs::exists(scratch));
  EXPECT_TRUE(calls.contains("dismiss review"));
  EXPECT_TRUE(calls.contains("dismiss export"));
}

TEST_F(SessionCommandsTest, SaveAsMovesTheSessionIntoAPackageAndGoesOn) {
  start();
  sessionWithOneTake();
  fs::path scratch = session().scratchURL;
  alerts.answers = {kSave};
  spawn(manager->newSession());
  settle();
  // The extension is added when missing.
  panels.answer(packagePath("Talk"));
  settle();
  fs::path package = packagePath("Talk.vidorel");
  EXPECT_FALSE(fs::exists(scratch));
  EXPECT_TRUE(fs::exists(package / "manifest.json"));
  EXPECT_TRUE(fs::exists(package / "takes" / "scene-1-take-1.mov"));
  auto loaded = store.load(package, package);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->scenes[0].takes.size(), 1u);
  // The continuation started a new session; the saved one was not closed
  // first, and the new one has its own scratch folder.
  EXPECT_NE(session().scratchURL, scratch);
  EXPECT_FALSE(session().bundleURL);
  EXPECT_TRUE(calls.contains("policy regular"));
}

TEST_F(SessionCommandsTest, SaveAsRefusesWhatIsNotAPackageAndReplacesAPackage) {
  start();
  sessionWithOneTake();
  fs::path scratch = session().scratchURL;

  fs::path plainFile = packagePath("notes.vidorel");
  writeFile(plainFile, "keep me");
  std::optional<std::string> error = manager->saveSession(plainFile);
  ASSERT_TRUE(error);
  EXPECT_NE(error->find(plainFile.string()), std::string::npos);
  EXPECT_EQ(readFile(plainFile), "keep me");
  EXPECT_TRUE(fs::exists(scratch / "manifest.json"));

  error = manager->saveSession(scratch / "takes" / "inside.vidorel");
  ASSERT_TRUE(error);
  EXPECT_TRUE(fs::exists(scratch / "manifest.json"));
  EXPECT_FALSE(session().bundleURL);

  fs::path old = packagePath("Old.vidorel");
  fs::create_directories(old / "takes");
  writeFile(old / "stale.txt", "old package");
  EXPECT_FALSE(manager->saveSession(old));
  EXPECT_FALSE(fs::exists(old / "stale.txt"));
  EXPECT_TRUE(fs::exists(old / "takes" / "scene-1-take-1.mov"));
  EXPECT_EQ(session().bundleURL, old);
  EXPECT_FALSE(session().isDirty);

  // Save As of a packaged session copies it; the old package stays.
  fs::path second = packagePath("Second.vidorel");
  EXPECT_FALSE(manager->saveSession(second));
  EXPECT_TRUE(fs::exists(old / "manifest.json"));
  EXPECT_TRUE(fs::exists(second / "takes" / "scene-1-take-1.mov"));
  EXPECT_EQ(session().bundleURL, second);
  // Saving a package onto itself saves in place.
  EXPECT_FALSE(manager->saveSession(second));
  EXPECT_TRUE(fs::exists(second / "manifest.json"));
}

// Closing a packaged session during a take: CommandsDuringATakeTest.
TEST_F(SessionCommandsTest, ClosingAnUnsavedSessionWhileRecording) {
  start();
  recordFirstTake();
  fs::path scratch = session().scratchURL;
  // Cancel keeps the take running; Don’t Save deletes the take and the
  // scratch folder.
  alerts.answers = {kCancel};
  spawn(manager->closeRecording());
  settle();
  EXPECT_EQ(manager->state(), AppState::recording);
  EXPECT_TRUE(recorder.recording);
  alerts.answers = {kDontSave};
  spawn(manager->closeRecording());
  settle();
  EXPECT_FALSE(recorder.recording);
  EXPECT_FALSE(fs::exists(scratch));
  EXPECT_FALSE(manager->currentSession());
  EXPECT_EQ(manager->state(), AppState::idle);
}

TEST_F(SessionCommandsTest, OpeningAPackage) {
  start();
  sessionWithOneTake();
  manager->nextScene();
  spawn(manager->startTake());
  settle();
  spawn(manager->endTake());
  settle(10);
  manager->approvePendingTake();
  probe.durations["scene-2-take-1.mov"] = 2.5;
  fs::path package = packagePath("Talk.vidorel");
  ASSERT_FALSE(manager->saveSession(package));
  manager->selectScene(session().scenes[0].id);

  // A packaged session closes without a prompt before the panel.
  calls.clear();
  manager->openSession();
  EXPECT_FALSE(manager->currentSession());
  ASSERT_TRUE(panels.isUp());
  EXPECT_EQ(panels.openOptions->message, "Choose a .vidorel recording");
  EXPECT_EQ(panels.openOptions->allowedExtension, ".vidorel");
  panels.answer(package);
  settle();
  ASSERT_TRUE(manager->currentSession());
  EXPECT_EQ(session().bundleURL, package);
  EXPECT_EQ(session().currentSceneIndex, 1);
  EXPECT_EQ(manager->currentTakeURL(), package / "takes" / "scene-2-take-1.mov");
  EXPECT_EQ(manager->state(), AppState::idle);
  EXPECT_TRUE(calls.contains("open review"));
  EXPECT_TRUE(alerts.shown.empty());

  // A missing take file: the session opens with the issue report, and the
  // corrected manifest is saved.
  manager->closeSession();
  fs::remove(package / "takes" / "scene-1-take-1.mov");
  spawn(manager->openRecording(package));
  settle();
  ASSERT_EQ(alerts.shown.size(), 1u);
  EXPECT_EQ(alerts.shown[0].message, "Recording loaded with issues");
  EXPECT_EQ(alerts.shown[0].style, AlertStyle::warning);
  EXPECT_EQ(alerts.shown[0].informativeText, SessionStore::issueReport({"scene-1-take-1.mov"}, {}));
  EXPECT_FALSE(store.load(package, package)->scenes[0].selectedTakeID);

  // Not a recording: the alert, and no session.
  manager->closeSession();
  alerts.shown.clear();
  spawn(manager->openRecording(packagePath("Nothing.vidorel")));
  settle();
  ASSERT_EQ(alerts.shown.size(), 1u);
  EXPECT_EQ(alerts.shown[0].message, "Couldn’t open recording");
  EXPECT_FALSE(manager->currentSession());
}

TEST_F(SessionCommandsTest, RecoveryAtLaunchAndDiscard) {
  // Two sessions left behind by an earlier run.
  fs::path root = scratchRoot();
  std::vector<fs::path> left;
  for (int i = 0; i < 2; ++i) {
    std::error_code error;
    fs::path folder = Session::makeScratchDirectory(error);
    ASSERT_FALSE(error);
    Session old(folder);
    old.scenes.push_back(RecordingScene::make());
    ASSERT_FALSE(store.save(old));
    left.push_back(folder);
  }
  makeManager();
  // Only after the launch flow.
  EXPECT_TRUE(manager->recoverableSessions().empty());
  settle(1000);
  ASSERT_EQ(manager->recoverableSessions().size(), 2u);

  Session chosen = manager->recoverableSessions()[0];
  manager->openRecoveredSession(chosen);
  EXPECT_EQ(session().id, chosen.id);
  EXPECT_EQ(session().currentSceneIndex, 1);
  EXPECT_FALSE(session().bundleURL);
  EXPECT_EQ(manager->recoverableSessions().size(), 1u);
  EXPECT_TRUE(calls.contains("open review"));

  fs::path other = manager->recoverableSessions()[0].scratchURL;
  manager->discardRecoveredSessions();
  EXPECT_TRUE(manager->recoverableSessions().empty());
  EXPECT_FALSE(fs::exists(other));
  EXPECT_TRUE(fs::exists(chosen.scratchURL));
}

TEST_F(SessionCommandsTest, SceneAndTakeEdits) {
  start();
  sessionWithOneTake();
  Uuid a = session().scenes[0].id;
  Uuid take = session().scenes[0].takes[0].id;

  manager->setTrim(take, -1, 99);
  EXPECT_EQ(session().scenes[0].takes[0].trimStart, 0);
  EXPECT_EQ(session().scenes[0].takes[0].trimEnd, 2.5);
  manager->setTrim(take, 2.0, 1.0); // an empty range never reaches the manifest
  EXPECT_EQ(session().scenes[0].takes[0].trimEnd, 2.5);
  manager->renameTake(a, take, "Best");
  EXPECT_EQ(session().scenes[0].takes[0].name, "Best");
  manager->selectTake(a, std::nullopt);
  EXPECT_FALSE(session().scenes[0].selectedTakeID);
  manager->selectTake(a, take);

  // Deleting the only scene does nothing.
  manager->deleteScene(a);
  EXPECT_EQ(session().scenes.size(), 1u);

  manager->nextScene();
  manager->nextScene();
  Uuid b = session().scenes[1].id;
  Uuid c = session().scenes[2].id;
  ASSERT_EQ(session().currentSceneIndex, 2);

  // Duplicating a scene before the current one keeps the same one current.
  manager->duplicateScene(a);
  ASSERT_EQ(session().scenes.size(), 4u);
  EXPECT_EQ(session().currentSceneIndex, 3);
  EXPECT_EQ(session().scenes[3].id, c);
  const RecordingScene& copy = session().scenes[1];
  ASSERT_EQ(copy.takes.size(), 1u);
  EXPECT_NE(copy.takes[0].filename, "scene-1-take-1.mov");
  EXPECT_TRUE(fs::exists(takes() / copy.takes[0].filename));
  Uuid copyID = copy.id;
  manager->duplicateScene(c);
  EXPECT_EQ(session().currentSceneIndex, 3);
  manager->deleteScene(session().scenes[4].id);

  // Moving scenes keeps the current scene current: A, copy, B, C -> C, A, copy, B.
  manager->moveScene(c, a);
  EXPECT_EQ(session().scenes[0].id, c);
  EXPECT_EQ(session().currentSceneIndex, 0);
  manager->moveScene(c, c);
  EXPECT_EQ(session().scenes[0].id, c);

  // Moving a take to its own scene is ignored; elsewhere it goes last and
  // the source loses its selection.
  manager->moveTake(take, a);
  EXPECT_EQ(session().scenes[1].takes.size(), 1u);
  manager->moveTake(take, b);
  EXPECT_TRUE(session().scenes[1].takes.empty());
  EXPECT_FALSE(session().scenes[1].selectedTakeID);
  ASSERT_EQ(session().scenes[3].takes.size(), 1u);
  EXPECT_FALSE(session().scenes[3].selectedTakeID);

  // Deleting a take removes its file; deleting the copied scene removes
  // the copy's file.
  fs::path copyFile = takes() / session().scenes[2].takes[0].filename;
  manager->deleteTake(take);
  EXPECT_FALSE(fs::exists(takes() / "scene-1-take-1.mov"));
  manager->selectScene(b);
  EXPECT_EQ(session().currentSceneIndex, 3);
  manager->deleteScene(copyID);
  EXPECT_FALSE(fs::exists(copyFile));
  // The current scene was the last; it still is, one index lower.
  manager->deleteScene(b);
  EXPECT_EQ(session().currentSceneIndex, 1);
  EXPECT_FALSE(session().isDirty);
}

TEST_F(SessionCommandsTest, ExportAndUpdateCheck) {
  start();
  sessionWithOneTake();
  manager->exportFinalVideo();
  settle();
  EXPECT_TRUE(exporter.exported.empty());
  ASSERT_FALSE(manager->saveSession(packagePath("Talk.vidorel")));
  manager->exportFinalVideo();
  settle();
  ASSERT_EQ(exporter.exported.size(), 1u);
  EXPECT_EQ(exporter.exported[0].bundleURL, packagePath("Talk.vidorel"));

  manager->checkForUpdates();
  ASSERT_EQ(alerts.shown.size(), 1u);
  EXPECT_EQ(alerts.shown[0].message, "Can't check for updates");
  EXPECT_EQ(alerts.shown[0].informativeText,
            "The update feed is not configured. Set a valid SUFeedURL in Info.plist.");
  updater.canCheck = true;
  manager->checkForUpdates();
  EXPECT_TRUE(calls.contains("updater.checkForUpdates"));
  EXPECT_EQ(alerts.shown.size(), 1u);
}

} // namespace
} // namespace vidorel::testing

namespace vidorel::testing {
namespace {

class WholeSessionTest : public WorkflowTest {};

// From a new session through takes, reviews and edits to a package, a
// close, and a crash that leaves a session to recover.
TEST_F(WholeSessionTest, ARecordingFromStartToRecovery) {
  start();
  recordFirstTake();
  shortcuts.press(ShortcutAction::endTake); // end
  settle(10);
  shortcuts.press(ShortcutAction::endTake); // approve, next take
  settle();
  shortcuts.press(ShortcutAction::endTake);
  settle(10);
  shortcuts.press(ShortcutAction::retake); // that one was bad
  settle();
  shortcuts.press(ShortcutAction::nextScene); // end, approve, scene 2
  settle();
  shortcuts.press(ShortcutAction::endTake);
  settle(10);
  manager->approvePendingTake();
  ASSERT_EQ(session().scenes.size(), 2u);
  // The retaken second take kept its number.
  ASSERT_EQ(session().scenes[0].takes.size(), 2u);
  EXPECT_EQ(session().scenes[0].takes[1].filename, "scene-1-take-2.mov");
  EXPECT_EQ(session().scenes[1].takes[0].filename, "scene-2-take-1.mov");
  EXPECT_EQ(manager->selectedTakeCount(), 2);
  EXPECT_EQ(manager->currentTakeNumber(), 2);

  manager->renameScene(session().scenes[1].id, "Demo");
  manager->setTrim(session().scenes[1].takes[0].id, 0.5, 2.0);
  manager->moveScene(session().scenes[1].id, session().scenes[0].id);
  EXPECT_EQ(session().scenes[0].name, "Demo");

  fs::path package = folders_.path() / "Talk.vidorel";
  manager->saveSessionAs([this] { calls.add("saved"); });
  panels.answer(package);
  settle();
  EXPECT_TRUE(calls.contains("saved"));
  spawn(manager->closeRecording());
  settle();
  EXPECT_FALSE(manager->currentSession());
  auto loaded = store.load(package, package);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->scenes[0].name, "Demo");
  EXPECT_EQ(loaded->scenes[0].takes[0].trimStart, 0.5);
  EXPECT_EQ(loaded->scenes[0].takes[0].trimEnd, 2.0);

  // A new recording, then the program dies without closing it while the
  // second scene's take is being recorded.
  spawn(manager->newSession());
  settle();
  shortcuts.press(ShortcutAction::endTake);
  settle(10);
  shortcuts.press(ShortcutAction::nextScene);
  settle();
  ASSERT_EQ(manager->state(), AppState::recording);
  Uuid lost = session().id;
  manager.reset();

  makeManager();
  settle(1000);
  ASSERT_EQ(manager->recoverableSessions().size(), 1u);
  EXPECT_EQ(manager->recoverableSessions()[0].id, lost);
  manager->openRecoveredSession(manager->recoverableSessions()[0]);
  EXPECT_EQ(session().scenes.size(), 2u);
  EXPECT_EQ(session().scenes[0].takes.size(), 1u);
}

} // namespace
} // namespace vidorel::testing
