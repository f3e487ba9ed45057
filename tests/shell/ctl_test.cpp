// `vidorel ctl`: its words, its one-line state, when the running app
// answers, and that it reaches the hot key's own handler.

#include "base/virtual_main_loop.h"
#include "fakes/recording_global_shortcuts.h"
#include "shell/shell_control.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vidorel {
namespace {

TEST(CtlActions, EveryWordParsesBackAndNothingElseDoes) {
  const std::vector<std::pair<std::string, CtlAction>> words = {
      {"start-pause", CtlAction::startPause}, {"end-take", CtlAction::endTake},
      {"next-scene", CtlAction::nextScene},   {"retake", CtlAction::retake},
      {"new", CtlAction::newSession},         {"status", CtlAction::status},
  };
  for (const auto& [word, action] : words) {
    EXPECT_EQ(parseCtlAction(word), action) << word;
    EXPECT_EQ(ctlActionWord(action), word);
  }
  for (const char* bad : {"", "Start-Pause", "start_pause", "startPause", "end-take ", "quit",
                          "state?", "new-recording"})
    EXPECT_EQ(parseCtlAction(bad), std::nullopt) << bad;
}

TEST(CtlActions, HotKeyActionsAreTheFourGlobalOnes) {
  EXPECT_EQ(hotKeyAction(CtlAction::startPause), ShortcutAction::startPause);
  EXPECT_EQ(hotKeyAction(CtlAction::endTake), ShortcutAction::endTake);
  EXPECT_EQ(hotKeyAction(CtlAction::nextScene), ShortcutAction::nextScene);
  EXPECT_EQ(hotKeyAction(CtlAction::retake), ShortcutAction::retake);
  // "new" is the menu's New Recording, "status" runs nothing.
  EXPECT_EQ(hotKeyAction(CtlAction::newSession), std::nullopt);
  EXPECT_EQ(hotKeyAction(CtlAction::status), std::nullopt);
}

TEST(CtlActions, OnlyEndTakeAndNextSceneWhileATakeRunsEndIt) {
  for (AppState state : {AppState::recording, AppState::paused}) {
    EXPECT_TRUE(ctlActionEndsTake(CtlAction::endTake, state));
    EXPECT_TRUE(ctlActionEndsTake(CtlAction::nextScene, state));
    EXPECT_FALSE(ctlActionEndsTake(CtlAction::startPause, state));
    EXPECT_FALSE(ctlActionEndsTake(CtlAction::retake, state));
  }
  EXPECT_FALSE(ctlActionEndsTake(CtlAction::endTake, AppState::idle));
  EXPECT_FALSE(ctlActionEndsTake(CtlAction::endTake, AppState::reviewing));
}

TEST(CtlStatusLine, NamesTheStateAndTheTake) {
  CtlStatus status;
  EXPECT_EQ(formatCtlStatus(status), "idle");
  status.hasSession = true;
  EXPECT_EQ(formatCtlStatus(status), "idle S1T1");
  status.countingDown = true;
  EXPECT_EQ(formatCtlStatus(status), "countdown S1T1");
  status.countingDown = false;
  status.state = AppState::recording;
  status.sceneNumber = 2;
  status.takeNumber = 3;
  EXPECT_EQ(formatCtlStatus(status), "recording S2T3");
  status.state = AppState::paused;
  EXPECT_EQ(formatCtlStatus(status), "paused S2T3");
  status.state = AppState::reviewing;
  EXPECT_EQ(formatCtlStatus(status), "reviewing S2T3");
  // A countdown belongs to a take not yet running; a running one wins.
  status.state = AppState::recording;
  status.countingDown = true;
  EXPECT_EQ(formatCtlStatus(status), "recording S2T3");
}

TEST(ControlCommands, CtlIsPublic) {
  EXPECT_TRUE(isPublicControlVerb(kCtlCommand));
  ControlCommand command = parseControlCommand("ctl end-take\n");
  EXPECT_EQ(command.verb, "ctl");
  EXPECT_EQ(command.argument, "end-take");
}

// The app's side of one ctl action, as the probe sees it.
struct FakeProgress {
  std::string line = "idle S1T1";
  bool busy = false;
};

struct ReplyRun {
  VirtualMainLoop loop;
  FakeProgress progress;
  std::optional<std::string> answer;
  Milliseconds answeredAt{-1};

  void start(const std::string& before) {
    replyWhenSettled(
        loop, before,
        [this] {
          return CtlProgress{progress.line, progress.busy};
        },
        [this](std::string line) {
          EXPECT_FALSE(answer.has_value()) << "answered twice";
          answer = std::move(line);
          answeredAt = loop.now();
        });
  }
};

TEST(CtlReply, AnswersAtTheFirstLookWhenTheStateAlreadyChanged) {
  ReplyRun run;
  run.progress.line = "paused S1T1";
  run.start("recording S1T1");
  EXPECT_FALSE(run.answer.has_value()) << "work the action posted has not run yet";
  run.loop.advance(Milliseconds(20));
  EXPECT_EQ(run.answer, "paused S1T1");
  EXPECT_EQ(run.answeredAt, Milliseconds(20));
}

TEST(CtlReply, WorkPostedByTheActionIsSeenBeforeAnswering) {
  // Approving a take shows "idle S1T2" at once and posts the next start.
  ReplyRun run;
  run.progress.line = "idle S1T2";
  run.start("reviewing S1T1");
  run.loop.post([&] { run.progress.busy = true; });
  run.loop.advance(Milliseconds(1000));
  EXPECT_FALSE(run.answer.has_value());
  run.progress.line = "countdown S1T2";
  run.progress.busy = false;
  run.loop.advance(Milliseconds(20));
  EXPECT_EQ(run.answer, "countdown S1T2");
}

// While work is under way the line is not the answer, changed or not: a new
// session exists ("idle S1T1") before its countdown shows, and a take being
// finished still reads "recording".
TEST(CtlReply, WaitsWhileWorkIsUnderWayThenAnswersTheNewState) {
  struct Case {
    std::string before, busyLine, after;
  };
  for (const Case& c : {Case{"recording S1T1", "recording S1T1", "reviewing S1T1"},
                        Case{"idle", "idle S1T1", "countdown S1T1"}}) {
    SCOPED_TRACE(c.after);
    ReplyRun run;
    run.progress.line = c.busyLine;
    run.progress.busy = true;
    run.start(c.before);
    run.loop.advance(Milliseconds(2000));
    EXPECT_FALSE(run.answer.has_value());
    run.progress.line = c.after;
    run.progress.busy = false;
    run.loop.advance(Milliseconds(100));
    EXPECT_EQ(run.answer, c.after);
    EXPECT_GT(run.answeredAt, Milliseconds(2000));
    EXPECT_LE(run.answeredAt, Milliseconds(2040));
  }
}

TEST(CtlReply, AnActionWithNothingToDoAnswersTheUnchangedStateAfterTheSettleTime) {
  ReplyRun run;
  run.progress.line = "recording S1T1";
  run.start("recording S1T1"); // retake while recording does nothing
  run.loop.advance(Milliseconds(240));
  EXPECT_FALSE(run.answer.has_value());
  run.loop.advance(Milliseconds(100));
  EXPECT_EQ(run.answer, "recording S1T1");
}

TEST(CtlReply, WorkThatNeverEndsIsAnsweredAtTheLimit) {
  ReplyRun run;
  run.progress.busy = true;
  run.start("idle S1T1");
  run.loop.advance(Milliseconds(9950));
  EXPECT_FALSE(run.answer.has_value());
  run.loop.advance(Milliseconds(200));
  EXPECT_EQ(run.answer, "idle S1T1");
  EXPECT_EQ(run.loop.pendingCount(), 0u);
}

TEST(ShortcutHandlerTap, RunsTheHandlerTheBackendGotAndForwardsRegistration) {
  testing::RecordingGlobalShortcuts backend;
  ShortcutHandlerTap tap(backend);
  int endTakes = 0;
  tap.setHandler(ShortcutAction::endTake, [&] { ++endTakes; });
  ASSERT_TRUE(backend.handlers.count(ShortcutAction::endTake));
  backend.handlers[ShortcutAction::endTake]();
  EXPECT_TRUE(tap.run(ShortcutAction::endTake));
  EXPECT_EQ(endTakes, 2);
  EXPECT_FALSE(tap.run(ShortcutAction::retake));

  ShortcutBindings bindings;
  bindings.emplace(ShortcutAction::endTake, defaultBinding(ShortcutAction::endTake));
  tap.registerBindings(bindings);
  EXPECT_EQ(backend.registered.size(), 1u);
  tap.unregisterAll();
  EXPECT_EQ(backend.unregisterCount, 1);

  // A removed handler is gone for ctl too.
  tap.setHandler(ShortcutAction::endTake, nullptr);
  EXPECT_FALSE(tap.run(ShortcutAction::endTake));
  EXPECT_EQ(endTakes, 2);
}

} // namespace
} // namespace vidorel
