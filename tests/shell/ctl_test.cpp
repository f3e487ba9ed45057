// The control socket's words, `vidorel ctl`'s one-line state and when the
// running app answers. The ctl end-to-end test drives them through the
// app's socket and hot-key handlers.

#include "base/virtual_main_loop.h"
#include "shell/shell_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace vidorel {
namespace {

TEST(ControlCommands, SplitVerbAndArgumentAndOnlyShowMenuAndCtlArePublic) {
  ControlCommand command = parseControlCommand("ctl end-take\r\n");
  EXPECT_EQ(command.verb, kCtlCommand);
  EXPECT_EQ(command.argument, "end-take");
  EXPECT_EQ(parseControlCommand("show-menu\n").argument, "");
  EXPECT_TRUE(isPublicControlVerb("show-menu") && isPublicControlVerb(kCtlCommand));
  EXPECT_FALSE(isPublicControlVerb("new-recording") || isPublicControlVerb("state?"));
}

// Each word parses back, and only the two that end a running take end it.
// (Which hot key each stands for: the settings rows' test, both ways.)
TEST(CtlActions, WordsParseBackAndWhichEndATake) {
  for (CtlAction action : {CtlAction::startPause, CtlAction::endTake, CtlAction::nextScene,
                           CtlAction::retake, CtlAction::newSession, CtlAction::status}) {
    EXPECT_EQ(parseCtlAction(ctlActionWord(action)), action) << ctlActionWord(action);
    bool ends = action == CtlAction::endTake || action == CtlAction::nextScene;
    for (AppState state : {AppState::recording, AppState::paused})
      EXPECT_EQ(ctlActionEndsTake(action, state), ends) << ctlActionWord(action);
    for (AppState state : {AppState::idle, AppState::reviewing})
      EXPECT_FALSE(ctlActionEndsTake(action, state)) << ctlActionWord(action);
  }
  for (const char* bad : {"", "Start-Pause", "start_pause", "startPause", "end-take ", "quit",
                          "state?", "new-recording"})
    EXPECT_EQ(parseCtlAction(bad), std::nullopt) << bad;
}

// The lines of each state are read through the running app by the ctl
// end-to-end test; here, the two it cannot reach.
TEST(CtlStatusLine, ARunningTakeWinsOverACountdownAndNoSessionShowsNoTake) {
  CtlStatus status;
  EXPECT_EQ(formatCtlStatus(status), "idle");
  status = CtlStatus{AppState::recording, true, true, 2, 3};
  EXPECT_EQ(formatCtlStatus(status), "recording S2T3");
}

// The app's answer to one action: the state line as soon as it changed and
// nothing is under way (a new session exists, "idle S1T1", before its
// countdown shows; a take being finished still reads "recording"), the
// unchanged line when the action had nothing to do, and an answer at the
// limit when work never ends.
TEST(CtlReply, AnswersOnceTheActionTookEffect) {
  struct Case {
    const char* before;
    const char* line;
    bool busy;
    int doneAt; // when the work ends and the line turns to `after`
    const char* after;
    int earliest, latest;
  };
  for (Case c : {Case{"recording S1T1", "paused S1T1", false, 0, "paused S1T1", 20, 20},
                 Case{"recording S1T1", "recording S1T1", true, 2000, "reviewing S1T1", 2001, 2040},
                 Case{"idle", "idle S1T1", true, 2000, "countdown S1T1", 2001, 2040},
                 Case{"recording S1T1", "recording S1T1", false, 0, "recording S1T1", 241, 340},
                 Case{"idle S1T1", "idle S1T1", true, 20000, "idle S1T1", 9951, 10150}}) {
    SCOPED_TRACE(c.after);
    VirtualMainLoop loop;
    CtlProgress progress{c.line, c.busy};
    std::optional<std::string> answer;
    Milliseconds answeredAt{-1};
    replyWhenSettled(
        loop, c.before, [&] { return progress; },
        [&](std::string line) {
          EXPECT_FALSE(answer.has_value()) << "answered twice";
          answer = std::move(line);
          answeredAt = loop.now();
        });
    EXPECT_FALSE(answer.has_value()) << "work the action posted has not run yet";
    loop.advance(Milliseconds(std::min(c.doneAt, 12000)));
    if (c.doneAt < 12000)
      progress = CtlProgress{c.after, false};
    loop.advance(Milliseconds(400));
    EXPECT_EQ(answer, c.after);
    EXPECT_GE(answeredAt, Milliseconds(c.earliest));
    EXPECT_LE(answeredAt, Milliseconds(c.latest));
    EXPECT_EQ(loop.pendingCount(), 0u);
  }
}

} // namespace
} // namespace vidorel
