#include "workflow_fixture.h"

#include "base/format.h"

#include <algorithm>
#include <functional>

namespace vidorel::testing {
namespace {

namespace fs = std::filesystem;

class SessionCommandsTest : public WorkflowTest {
protected:
  fs::path packagePath(const std::string& name) { return folders_.path() / name; }
};

TEST_F(SessionCommandsTest, UnsavedChangesPromptOnNewOpenAndClose) {
  sessionWithOneTake();
  fs::path scratch = session().scratchURL;
  // "Save…" then a cancelled save panel: the command does not go on.
  const std::function<void()> commands[] = {[this] { spawn(manager->newSession()); },
                                            [this] { manager->openSession(); },
                                            [this] { spawn(manager->closeRecording()); }};
  for (const auto& command : commands) {
    alerts.answers = {kSave};
    command();
    settle();
    EXPECT_EQ(alerts.shown.back().message, "Save recording before closing?");
    ASSERT_TRUE(panels.isUp());
    EXPECT_EQ(panels.saveOptions->proposedName, "Recording.vidorel");
    panels.answer(std::nullopt);
    settle();
    EXPECT_EQ(session().scratchURL, scratch);
    EXPECT_FALSE(session().bundleURL);
  }
  EXPECT_EQ(alerts.shown[0].buttons, (std::vector<std::string>{"Save…", "Don’t Save", "Cancel"}));
  EXPECT_EQ(recorder.starts, 1);
  EXPECT_FALSE(calls.contains("panel.open"));

  // Answered, the session moves into the package (the extension is added)
  // and the command goes on: a new session in its own scratch folder.
  alerts.answers = {kSave};
  run(manager->newSession());
  panels.answer(packagePath("Talk"));
  settle();
  fs::path package = packagePath("Talk.vidorel");
  EXPECT_FALSE(fs::exists(scratch));
  EXPECT_EQ(store.load(package, package)->scenes[0].takes.size(), 1u);
  EXPECT_TRUE(fs::exists(package / "takes" / "scene-1-take-1.mov"));
  EXPECT_NE(session().scratchURL, scratch);
  EXPECT_FALSE(session().bundleURL);

  // While its take records, Cancel keeps it running; "Don’t Save" stops it
  // and deletes the whole scratch folder (a package: CommandsDuringATakeTest).
  scratch = session().scratchURL;
  ASSERT_TRUE(recorder.recording);
  alerts.answers = {kCancel};
  run(manager->closeRecording());
  EXPECT_TRUE(recorder.recording);
  closeWithoutSaving();
  EXPECT_FALSE(recorder.recording || manager->currentSession());
  EXPECT_FALSE(fs::exists(scratch));
  EXPECT_TRUE(calls.contains("dismiss review"));
  EXPECT_TRUE(calls.contains("dismiss export"));
}

TEST_F(SessionCommandsTest, SaveAsRefusesWhatIsNotAPackageAndReplacesAPackage) {
  sessionWithOneTake();
  fs::path scratch = session().scratchURL;

  manager->exportFinalVideo(); // only a package exports
  settle();
  EXPECT_TRUE(exporter.exported.empty());
  fs::path plainFile = packagePath("notes.vidorel");
  writeFile(plainFile, "keep me");
  std::optional<std::string> error = manager->saveSession(plainFile);
  ASSERT_TRUE(error);
  EXPECT_NE(error->find(plainFile.string()), std::string::npos);
  EXPECT_EQ(readFile(plainFile), "keep me");
  EXPECT_TRUE(manager->saveSession(scratch / "takes" / "inside.vidorel"));
  EXPECT_TRUE(fs::exists(scratch / "manifest.json"));
  EXPECT_FALSE(session().bundleURL);

  fs::path old = packagePath("Old.vidorel");
  fs::create_directories(old / "takes");
  writeFile(old / "stale.txt", "old package");
  EXPECT_FALSE(manager->saveSession(old));
  EXPECT_FALSE(fs::exists(old / "stale.txt"));
  EXPECT_TRUE(fs::exists(old / "takes" / "scene-1-take-1.mov"));
  EXPECT_EQ(session().bundleURL, old);

  // Save As of a packaged session copies it; the old package stays.
  fs::path second = packagePath("Second.vidorel");
  EXPECT_FALSE(manager->saveSession(second));
  EXPECT_TRUE(fs::exists(old / "manifest.json"));
  EXPECT_TRUE(fs::exists(second / "takes" / "scene-1-take-1.mov"));
  EXPECT_EQ(session().bundleURL, second);
  EXPECT_FALSE(manager->saveSession(second)); // onto itself: in place
  EXPECT_TRUE(fs::exists(second / "manifest.json"));
  manager->exportFinalVideo();
  settle();
  EXPECT_EQ(exporter.exported.at(0).bundleURL, second);
}

TEST_F(SessionCommandsTest, OpeningAPackage) {
  sessionWithOneTake();
  manager->nextScene();
  fs::path package = packagePath("Talk.vidorel");
  ASSERT_FALSE(manager->saveSession(package));

  // A packaged session closes without a prompt before the panel.
  calls.clear();
  manager->openSession();
  EXPECT_FALSE(manager->currentSession());
  ASSERT_TRUE(panels.isUp());
  EXPECT_EQ(panels.openOptions->allowedExtension, ".vidorel");
  panels.answer(package);
  settle();
  ASSERT_TRUE(manager->currentSession());
  EXPECT_EQ(session().bundleURL, package);
  EXPECT_EQ(session().currentSceneIndex, 1);
  EXPECT_TRUE(calls.contains("open review"));
  EXPECT_TRUE(alerts.shown.empty());

  // A missing take file: the issue report, and the corrected manifest saved.
  manager->closeSession();
  fs::remove(package / "takes" / "scene-1-take-1.mov");
  run(manager->openRecording(package));
  ASSERT_EQ(alerts.shown.size(), 1u);
  EXPECT_EQ(alerts.shown[0].message, "Recording loaded with issues");
  EXPECT_EQ(alerts.shown[0].informativeText, "Missing files:\nscene-1-take-1.mov");
  EXPECT_FALSE(store.load(package, package)->scenes[0].selectedTakeID);

  // Not a recording: the alert, and no session.
  manager->closeSession();
  run(manager->openRecording(packagePath("Nothing.vidorel")));
  EXPECT_TRUE(calls.contains("alert Couldn’t open recording"));
  EXPECT_FALSE(manager->currentSession());
}

TEST_F(SessionCommandsTest, RecoveryAtLaunchAndDiscard) {
  // Two sessions left behind by an earlier run.
  manager.reset();
  for (int i = 0; i < 2; ++i) {
    std::error_code error;
    Session old(Session::makeScratchDirectory(error));
    old.scenes.push_back(RecordingScene::make());
    ASSERT_FALSE(store.save(old));
  }
  makeManager();
  // Only after the launch flow.
  EXPECT_TRUE(manager->recoverableSessions().empty());
  settle(1000);
  ASSERT_EQ(manager->recoverableSessions().size(), 2u);

  Session chosen = manager->recoverableSessions()[0];
  manager->openRecoveredSession(chosen);
  EXPECT_EQ(session().id, chosen.id);
  EXPECT_EQ(manager->recoverableSessions().size(), 1u);
  EXPECT_TRUE(calls.contains("open review"));

  fs::path other = manager->recoverableSessions()[0].scratchURL;
  manager->discardRecoveredSessions();
  EXPECT_TRUE(manager->recoverableSessions().empty());
  EXPECT_FALSE(fs::exists(other));
  EXPECT_TRUE(fs::exists(chosen.scratchURL));
}

// The session as a line: scenes A, B, C (a new one "+"), each with its
// takes ("t", a copy "t'", or the take's name), the selection starred, the
// range in brackets, ">" before the current scene.
std::string describe(const Session& session, const std::vector<Uuid>& scenes, const Uuid& take) {
  std::string line;
  for (std::size_t i = 0; i < session.scenes.size(); ++i) {
    const RecordingScene& scene = session.scenes[i];
    auto known = std::find(scenes.begin(), scenes.end(), scene.id);
    line += formatString(
        "%s%s%c(", i ? " " : "", static_cast<int>(i) == session.currentSceneIndex ? ">" : "",
        known == scenes.end() ? '+' : static_cast<char>('A' + (known - scenes.begin())));
    for (const Take& t : scene.takes)
      line += formatString("%s%s%s[%g-%g]", line.back() == '(' ? "" : " ",
                           t.name         ? t.name->c_str()
                           : t.id == take ? "t"
                                          : "t'",
                           scene.selectedTakeID == t.id ? "*" : "", t.trimStart, t.trimEnd);
    line += ")";
  }
  return line;
}

// Each edit on scenes A (one 2.5 s take, selected), B and C (current): the
// session after it, the take files left, and the manifest saved with it.
TEST_F(SessionCommandsTest, SceneAndTakeEditsTable) {
  struct Ids {
    Uuid a, b, c, take;
  };
  struct Case {
    const char* what;
    std::function<void(AppStateManager&, Ids)> edit;
    std::string after;
    std::size_t files;
  };
  const Case cases[] = {
      {"trim clamped at the start", [](auto& m, Ids i) { m.setTrim(i.take, -1, 1); },
       "A(t*[0-1]) B() >C()", 1},
      {"trim clamped at the end", [](auto& m, Ids i) { m.setTrim(i.take, 0.5, 99); },
       "A(t*[0.5-2.5]) B() >C()", 1},
      {"empty trim ignored", [](auto& m, Ids i) { m.setTrim(i.take, 1, 1); },
       "A(t*[0-2.5]) B() >C()", 1},
      {"take renamed", [](auto& m, Ids i) { m.renameTake(i.a, i.take, "Best"); },
       "A(Best*[0-2.5]) B() >C()", 1},
      // Choosing in a scene makes it the current one.
      {"selection cleared", [](auto& m, Ids i) { m.selectTake(i.a, std::nullopt); },
       ">A(t[0-2.5]) B() C()", 1},
      {"scene selected", [](auto& m, Ids i) { m.selectScene(i.b); }, "A(t*[0-2.5]) >B() C()", 1},
      {"scene before the current one duplicated", [](auto& m, Ids i) { m.duplicateScene(i.a); },
       "A(t*[0-2.5]) +(t'*[0-2.5]) B() >C()", 2},
      {"current scene duplicated", [](auto& m, Ids i) { m.duplicateScene(i.c); },
       "A(t*[0-2.5]) B() >C() +()", 1},
      {"current scene moved first", [](auto& m, Ids i) { m.moveScene(i.c, i.a); },
       ">C() A(t*[0-2.5]) B()", 1},
      {"take moved to another scene", [](auto& m, Ids i) { m.moveTake(i.take, i.b); },
       "A() B(t[0-2.5]) >C()", 1},
      {"take deleted with its file", [](auto& m, Ids i) { m.deleteTake(i.take); }, "A() B() >C()",
       0},
      {"scene deleted with its files", [](auto& m, Ids i) { m.deleteScene(i.a); }, "B() >C()", 0},
      {"scene before the current one deleted", [](auto& m, Ids i) { m.deleteScene(i.b); },
       "A(t*[0-2.5]) >C()", 1},
      {"current last scene deleted", [](auto& m, Ids i) { m.deleteScene(i.c); },
       "A(t*[0-2.5]) >B()", 1},
      {"the only scene is never deleted",
       [](auto& m, Ids i) {
         m.deleteScene(i.b);
         m.deleteScene(i.c);
         m.deleteScene(i.a);
       },
       ">A(t*[0-2.5])", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sessionWithOneTake();
    manager->nextScene();
    manager->nextScene();
    Ids ids{session().scenes[0].id, session().scenes[1].id, session().scenes[2].id,
            session().scenes[0].takes[0].id};
    std::vector<Uuid> scenes = {ids.a, ids.b, ids.c};
    ASSERT_EQ(describe(session(), scenes, ids.take), "A(t*[0-2.5]) B() >C()");

    c.edit(*manager, ids);
    EXPECT_EQ(describe(session(), scenes, ids.take), c.after);
    EXPECT_EQ(std::distance(fs::directory_iterator(takes()), fs::directory_iterator()),
              static_cast<std::ptrdiff_t>(c.files));
    for (const RecordingScene& scene : session().scenes)
      for (const Take& take : scene.takes)
        EXPECT_TRUE(fs::exists(session().takeFile(take))) << take.filename;
    EXPECT_FALSE(session().isDirty);
    auto loaded = store.load(session().scratchURL);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->scenes, session().scenes);
    EXPECT_EQ(loaded->currentSceneIndex, session().currentSceneIndex);

    closeWithoutSaving();
  }
}

} // namespace
} // namespace vidorel::testing
