#include "workflow_fixture.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <limits>

namespace vidorel::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

class TakeSafetyTest : public WorkflowTest {
protected:
  // Records and approves a take in the current scene; returns its name.
  std::string recordAndApprove() {
    run(manager->startTake());
    EXPECT_EQ(manager->state(), AppState::recording);
    std::string name = recorder.url.filename().string();
    run(manager->endTake(), 10);
    manager->approvePendingTake();
    EXPECT_EQ(manager->state(), AppState::idle);
    return name;
  }

  // A session saved as a package, idle, with one approved take.
  fs::path packagedSessionWithOneTake() {
    sessionWithOneTake();
    fs::path package = folders_.path() / "Talk.vidorel";
    EXPECT_FALSE(manager->saveSession(package));
    return package;
  }
};

TEST_F(TakeSafetyTest, AFileInTheTakesFolderKeepsItsNameAndAFailedStartLeavesIt) {
  openSessionWithoutTake();
  writeFile(takes() / "scene-1-take-1.mov", "not ours");

  // A start that fails after creating its file removes that file only.
  recorder.startError = "The disk is full.";
  recorder.startErrorAfterStream = true;
  run(manager->startTake());
  EXPECT_TRUE(calls.contains("recorder.startRecording scene-1-take-2.mov"));
  EXPECT_FALSE(fs::exists(takes() / "scene-1-take-2.mov"));
  recorder.startError.reset();
  EXPECT_EQ(recordAndApprove(), "scene-1-take-2.mov");
  EXPECT_EQ(readFile(takes() / "scene-1-take-1.mov"), "not ours");
}

// A take whose file is too small or whose length could not be read.
TEST_F(TakeSafetyTest, AnUnusablePendingTakeCanOnlyBeDeleted) {
  // Not larger than 1024 bytes, or no finite positive length.
  const std::pair<std::size_t, double> cases[] = {
      {1024, 2.5}, {4096, 0}, {4096, std::numeric_limits<double>::quiet_NaN()}};
  for (auto [fileSize, duration] : cases) {
    SCOPED_TRACE(std::to_string(fileSize) + " bytes, " + std::to_string(duration) + " s");
    recorder.fileSize = fileSize;
    recorder.duration = duration;
    recordFirstTake();
    // nextScene while recording: the take ends but is not approved.
    press(ShortcutAction::nextScene, 10);
    ASSERT_EQ(manager->state(), AppState::reviewing);
    fs::path file = *manager->currentTakeURL();
    EXPECT_FALSE(manager->isPendingTakeUsable());
    calls.clear();
    shortcuts.press(ShortcutAction::endTake);
    shortcuts.press(ShortcutAction::nextScene);
    manager->approveAndNewTake();
    manager->approveAndNewScene();
    manager->approvePendingTake();
    settle();
    EXPECT_TRUE(calls.calls.empty());
    EXPECT_TRUE(session().scenes[0].takes.empty());

    shortcuts.press(ShortcutAction::retake);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(manager->state(), AppState::idle);
    closeWithoutSaving();
  }
}

TEST_F(TakeSafetyTest, UnreviewedTakesAreOfferedWhenAPackageOpensNewestFirst) {
  fs::path package = packagedSessionWithOneTake();
  manager->closeSession();
  auto now = fs::file_time_type::clock::now();
  for (auto [name, minutes] : {std::pair("scene-1-take-7.mov", 5), {"scene-1-take-9.mov", 1}}) {
    writeFile(package / "takes" / name, std::string(4096, 'x'));
    fs::last_write_time(package / "takes" / name, now - std::chrono::minutes(minutes));
  }
  probe.durations["scene-1-take-7.mov"] = 3.0;
  probe.durations["scene-1-take-9.mov"] = 4.0;

  calls.clear();
  run(manager->openRecording(package), 10);
  ASSERT_EQ(manager->state(), AppState::reviewing);
  EXPECT_EQ(manager->currentTakeURL(), package / "takes" / "scene-1-take-9.mov");
  EXPECT_EQ(manager->unreviewedTakes().size(), 1u);

  // Approved, it joins the scene under its own name; the next is offered.
  press(ShortcutAction::endTake, 10);
  const Take& approved = session().scenes[0].takes.at(1);
  EXPECT_EQ(std::pair(approved.filename, approved.duration), std::pair("scene-1-take-9.mov"s, 4.0));
  EXPECT_EQ(session().scenes[0].selectedTakeID, approved.id);
  EXPECT_FALSE(calls.contains("countdown.run 3"));
  EXPECT_EQ(manager->currentTakeURL(), package / "takes" / "scene-1-take-7.mov");

  // Deleted: its file goes, and with none left a take starts as usual.
  shortcuts.press(ShortcutAction::retake);
  EXPECT_FALSE(fs::exists(package / "takes" / "scene-1-take-7.mov"));
  settle();
  EXPECT_EQ(manager->state(), AppState::recording);
  EXPECT_EQ(recorder.url, package / "takes" / "scene-1-take-10.mov");
  EXPECT_EQ(store.load(package, package)->scenes[0].takes.size(), 2u);
}

class CommandsDuringATakeTest : public TakeSafetyTest, public ::testing::WithParamInterface<bool> {
protected:
  // Starts a take in the open session; paused when the parameter says so.
  void startTakeInSession() {
    run(manager->startTake());
    ASSERT_EQ(manager->state(), AppState::recording);
    if (GetParam())
      manager->pauseRecording();
  }

  void expectTakeStoppedAndKept(const fs::path& package, const std::string& filename) {
    auto loaded = store.load(package, package);
    ASSERT_TRUE(loaded);
    EXPECT_TRUE(std::ranges::any_of(loaded->scenes, [&](const RecordingScene& scene) {
      return std::ranges::any_of(scene.takes,
                                 [&](const Take& t) { return t.filename == filename; });
    })) << filename;
    EXPECT_TRUE(fs::exists(package / "takes" / filename));
  }
};

// Each command ends the packaged session's running take and keeps it.
TEST_P(CommandsDuringATakeTest, SessionCommandsKeepTheTake) {
  std::error_code error;
  Session left(Session::makeScratchDirectory(error));
  ASSERT_FALSE(store.save(left));
  fs::path package = packagedSessionWithOneTake();
  const std::tuple<const char*, std::function<void()>, std::function<bool()>> commands[] = {
      {"new", [this] { spawn(manager->newSession()); },
       [this] { return !session().bundleURL && manager->state() == AppState::recording; }},
      {"open", [this] { manager->openSession(); },
       [this] { return !manager->currentSession() && panels.isUp(); }},
      {"close", [this] { spawn(manager->closeRecording()); },
       [this] { return !manager->currentSession() && alerts.shown.empty(); }},
      {"recover", [&] { manager->openRecoveredSession(left); },
       [&] { return session().id == left.id; }}};
  for (const auto& [what, command, after] : commands) {
    SCOPED_TRACE(what);
    if (panels.isUp())
      panels.answer(std::nullopt);
    if (manager->currentSession() && session().bundleURL != package)
      closeWithoutSaving();
    if (!manager->currentSession())
      run(manager->openRecording(package));
    startTakeInSession();
    std::string take = recorder.url.filename().string();
    alerts.shown.clear();
    command();
    settle();
    expectTakeStoppedAndKept(package, take);
    EXPECT_TRUE(after());
  }
}

TEST_P(CommandsDuringATakeTest, ASavePanelAnsweredDuringATakeMovesTheTakeWithTheSession) {
  openSessionWithoutTake();
  fs::path scratch = session().scratchURL;
  manager->saveSessionAs();
  ASSERT_TRUE(panels.isUp());
  startTakeInSession();
  std::string take = recorder.url.filename().string();
  fs::path package = folders_.path() / "During.vidorel";
  panels.answer(package);
  settle();
  EXPECT_FALSE(recorder.recording);
  expectTakeStoppedAndKept(package, take);
  EXPECT_EQ(session().bundleURL, package);
  EXPECT_FALSE(fs::exists(scratch) || statusPanel.visible);
}

INSTANTIATE_TEST_SUITE_P(RecordingAndPaused, CommandsDuringATakeTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "paused" : "recording";
                         });

// A start belongs to its session.
TEST_F(TakeSafetyTest, AfterCloseDuringTheCountdownTheNextSessionsFirstTakeStarts) {
  for (bool countdownEndsEarly : {true, false}) {
    SCOPED_TRACE(countdownEndsEarly);
    countdown.ignoresCancel = !countdownEndsEarly;
    recorder.starts = 0;
    run(manager->newSession(), 1000);
    ASSERT_TRUE(countdown.running && manager->startInProgress());
    fs::path first = session().scratchURL;

    alerts.answers = {kDontSave};
    run(manager->closeRecording(), 10);
    EXPECT_FALSE(manager->currentSession() || manager->startInProgress());
    EXPECT_TRUE(calls.contains("countdown.cancel"));
    EXPECT_FALSE(recorder.microphoneRunning);

    run(manager->newSession(), 8000);
    ASSERT_EQ(manager->state(), AppState::recording);
    EXPECT_EQ(recorder.starts, 1);
    EXPECT_EQ(recorder.url, takes() / "scene-1-take-1.mov");
    EXPECT_FALSE(fs::exists(first));

    closeWithoutSaving();
    calls.clear();
  }
}

TEST_F(TakeSafetyTest, AWriterFailureEndsTheTakeAndTellsTheUser) {
  openSessionWithoutTake();
  // Between takes there is nothing to end and nothing to say.
  recorder.failureHandler("Input/output error");
  settle();
  EXPECT_TRUE(alerts.shown.empty());

  for (bool paused : {false, true}) {
    SCOPED_TRACE(paused);
    alerts.shown.clear();
    run(manager->startTake());
    ASSERT_EQ(manager->state(), AppState::recording);
    if (paused)
      manager->pauseRecording();
    fs::path file = recorder.url;
    recorder.failureHandler("Input/output error");
    settle(10);
    EXPECT_EQ(manager->currentTakeURL(), file);
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].message, "Recording stopped");
    EXPECT_EQ(alerts.shown[0].informativeText, "Input/output error");
    // What was written is a take like any other.
    manager->approvePendingTake();
    EXPECT_EQ(session().scenes[0].takes.back().filename, file.filename().string());
  }
  manager.reset();
  EXPECT_FALSE(recorder.failureHandler);
}

// The coordinator destroyed while a coroutine is suspended, at the first and
// second time each collaborator is called.
class DestroyedCoordinatorTest : public TakeSafetyTest {
protected:
  DestroyedCoordinatorTest() { launchAtSetUp = false; }
};

TEST_F(DestroyedCoordinatorTest, AtEachCollaboratorCallNothingGoesOn) {
  // The first start asks for the microphone and waits for screen access.
  probes.microphone = MicrophoneAuthorization::notDetermined;
  probes.screenGrantedFromCall = 2;
  fs::path package = folders_.path() / "Kept.vidorel";
  // A take's life from new session to export; each step is skipped once
  // the coordinator is gone.
  auto at = [this](int ms, std::function<void()> step) {
    loop.postAfter(Milliseconds(ms), [this, step] {
      if (manager)
        step();
    });
  };
  const std::string points[] = {"probe.requestMicrophone", "countdown.run 3",
                                "recorder.startRecording", "recorder.stopRecording",
                                "alert Recording stopped", "panel.save",
                                "exporter.exportSession",  "alert Save recording before closing?"};
  for (const std::string& point : points) {
    for (int occurrence : {1, 2}) {
      SCOPED_TRACE(point + " #" + std::to_string(occurrence));
      recorder.recording = recorder.microphoneRunning = false;
      countdown.cancel();
      probes.preflights = 0;
      alerts.answers.clear();
      if (panels.isUp())
        panels.answer(std::nullopt);
      calls.clear();
      int seen = 0;
      std::optional<std::size_t> callsAtDestruction;
      calls.onCall = [&](const std::string& call) {
        if (call.starts_with(point) && ++seen == occurrence)
          // After the call has returned: its coroutine is suspended by then.
          loop.post([&] {
            manager.reset();
            callsAtDestruction = calls.calls.size();
          });
      };
      makeManager();
      at(0, [this] { spawn(manager->newSession()); });
      at(6000, [this] { manager->pauseRecording(); });
      at(6500, [this] { recorder.failureHandler("Input/output error"); });
      at(7000, [this] { shortcuts.press(ShortcutAction::endTake); });
      at(11000, [this] { shortcuts.press(ShortcutAction::endTake); });
      at(11500, [this] { shortcuts.press(ShortcutAction::nextScene); });
      at(15500, [this] {
        alerts.answers = {kSave};
        spawn(manager->closeRecording());
      });
      at(15600, [&] {
        if (panels.isUp())
          panels.answer(package);
      });
      at(16000, [&] { spawn(manager->openRecording(package)); });
      at(16500, [this] { manager->exportFinalVideo(); });
      at(17000, [this] { shortcuts.press(ShortcutAction::retake); });
      loop.advance(Milliseconds(30000));
      calls.onCall = nullptr;
      // A second call may not come; the first always does.
      EXPECT_TRUE(callsAtDestruction || occurrence > 1) << point << " was never called";
      manager.reset();
      loop.advance(Milliseconds(60000));
      if (!callsAtDestruction)
        continue;
      // Nothing but the launch flow's own permission questions goes on.
      for (std::size_t i = *callsAtDestruction; i < calls.calls.size(); ++i)
        EXPECT_TRUE(calls.calls[i].starts_with("probe.")) << calls.calls[i];
      EXPECT_EQ(loop.pendingCount(), 0u);
    }
  }
}

} // namespace
} // namespace vidorel::testing
