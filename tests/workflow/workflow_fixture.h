#pragma once

#include "base/log.h"
#include "base/virtual_main_loop.h"
#include "base/xdg_paths.h"
#include "fakes/fake_duration_probe.h"
#include "fakes/fake_workflow.h"
#include "store/session_store.h"
#include "support/temporary_folder.h"
#include "workflow/app_state_manager.h"

#include <gtest/gtest.h>

#include <memory>

namespace vidorel::testing {

// The buttons of the save prompt.
constexpr int kSave = 0, kDontSave = 1, kCancel = 2;

// A coordinator over fakes and a virtual clock, with its own scratch root.
class WorkflowTest : public ::testing::Test {
protected:
  WorkflowTest()
      : folders_("workflow"), recorder(loop, calls), countdown(loop, calls), statusPanel(calls),
        shortcuts(calls), exporter(calls), updater(calls), alerts(calls), panels(calls),
        activation(calls), probes(calls), preferences(defaults), store(logger, probe),
        permissions(loop, probes, alerts, activation) {
    ::setenv("XDG_DATA_HOME", (folders_.path() / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (folders_.path() / "config").c_str(), 1);
    logger.addSink(log);
  }

  // Most tests begin with the coordinator launched, no session open.
  void SetUp() override {
    if (launchAtSetUp)
      start();
  }
  bool launchAtSetUp = true;

  // Builds the coordinator; its launch sequence runs to the end.
  void start() {
    makeManager();
    loop.advance(Milliseconds(1000));
    calls.clear();
    log->clear();
  }

  void makeManager() {
    manager = std::make_unique<AppStateManager>(AppStateDependencies{
        loop, logger, recorder, store, shortcuts, countdown, permissions, exporter, statusPanel,
        updater, preferences, alerts, panels, activation});
    manager->openWindow = [this](const std::string& id) { calls.add("open " + id); };
    manager->dismissWindow = [this](const std::string& id) { calls.add("dismiss " + id); };
  }

  // A new session whose first take's countdown has run and capture runs.
  void recordFirstTake() {
    run(manager->newSession());
    ASSERT_EQ(manager->state(), AppState::recording);
  }

  // A session with one approved take in scene 1, idle, never saved.
  void sessionWithOneTake() {
    recordFirstTake();
    press(ShortcutAction::endTake, 10);
    manager->approvePendingTake();
    ASSERT_EQ(manager->state(), AppState::idle);
    probe.durations["scene-1-take-1.mov"] = recorder.duration;
  }

  // A new session whose first countdown was cancelled: idle, no take.
  void openSessionWithoutTake() {
    run(manager->startNewSession(), 1000);
    countdown.cancel(); // what the overlay makes of a hot key
    settle();
    ASSERT_EQ(manager->state(), AppState::idle);
    ASSERT_FALSE(recorder.microphoneRunning || manager->startInProgress());
  }

  // Closes the session, answering the save prompt (if any) with Don't Save.
  void closeWithoutSaving() {
    alerts.answers = {kDontSave};
    run(manager->closeRecording());
  }

  // Runs everything due within the next few virtual seconds.
  void settle(int milliseconds = 4000) { loop.advance(Milliseconds(milliseconds)); }
  void run(Task<void> task, int milliseconds = 4000) {
    spawn(std::move(task));
    settle(milliseconds);
  }
  void press(ShortcutAction action, int milliseconds = 4000) {
    shortcuts.press(action);
    settle(milliseconds);
  }

  const Session& session() const { return *manager->currentSession(); }
  std::filesystem::path takes() const { return session().takesFolder(); }

  TemporaryFolder folders_;
  VirtualMainLoop loop;
  Logger logger;
  std::shared_ptr<RecordingLogSink> log = std::make_shared<RecordingLogSink>();
  CallLog calls;
  FakeRecorder recorder;
  FakeCountdown countdown;
  FakeStatusPanel statusPanel;
  FakeGlobalShortcuts shortcuts;
  FakeSessionExport exporter;
  FakeUpdater updater;
  FakeAlerts alerts;
  FakeFilePanels panels;
  FakeActivation activation;
  FakePermissionProbes probes;
  FakeDefaultsStore defaults;
  Preferences preferences;
  FakeDurationProbe probe;
  SessionStore store;
  PermissionsCoordinator permissions;
  std::unique_ptr<AppStateManager> manager;
};

} // namespace vidorel::testing
