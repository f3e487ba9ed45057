// The shell's logic: control words, ctl replies, countdown, alerts, status, menu.

#include "base/virtual_main_loop.h"
#include "shell/alert_buttons.h"
#include "shell/countdown_overlay.h"
#include "shell/menu_model.h"
#include "shell/recording_status.h"
#include "shell/shell_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace vidorel {
namespace {

// Each ctl word parses back; only the two that end a running take end it.
TEST(ControlWords, VerbsActionsAndStatusLines) {
  ControlCommand command = parseControlCommand("ctl end-take\r\n");
  EXPECT_EQ(command.verb, kCtlCommand);
  EXPECT_EQ(command.argument, "end-take");
  EXPECT_EQ(parseControlCommand("show-menu\n").argument, "");
  EXPECT_TRUE(isPublicControlVerb("show-menu") && isPublicControlVerb(kCtlCommand));
  EXPECT_FALSE(isPublicControlVerb("new-recording") || isPublicControlVerb("state?"));
  for (CtlAction action : {CtlAction::startPause, CtlAction::endTake, CtlAction::nextScene,
                           CtlAction::retake, CtlAction::newSession, CtlAction::status}) {
    EXPECT_EQ(parseCtlAction(ctlActionWord(action)), action) << ctlActionWord(action);
    bool ends = action == CtlAction::endTake || action == CtlAction::nextScene;
    for (AppState state : {AppState::recording, AppState::paused})
      EXPECT_EQ(ctlActionEndsTake(action, state), ends) << ctlActionWord(action);
    for (AppState state : {AppState::idle, AppState::reviewing})
      EXPECT_FALSE(ctlActionEndsTake(action, state)) << ctlActionWord(action);
  }
  for (const char* bad : {"", "Start-Pause", "startPause", "end-take ", "quit", "state?"})
    EXPECT_EQ(parseCtlAction(bad), std::nullopt) << bad;
  EXPECT_EQ(formatCtlStatus(CtlStatus{}), "idle");
  EXPECT_EQ(formatCtlStatus(CtlStatus{AppState::recording, true, true, 2, 3}), "recording S2T3");
}

// The state line once it changed and nothing is under way, the unchanged line
// when there was nothing to do, an answer at the limit when work never ends.
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

// The overlay window's steps at their virtual times ("show@0 3@0 2@1000 ").
class RecordingSurface final : public CountdownSurface {
public:
  explicit RecordingSurface(VirtualMainLoop& loop) : loop_(loop) {}
  void show() override { step("show"); }
  void showDigit(int value) override { step(std::to_string(value)); }
  void hide() override { step("hide"); }
  void step(const std::string& what) {
    shown += what + "@" + std::to_string(loop_.now().count()) + " ";
  }
  VirtualMainLoop& loop_;
  std::string shown;
};

class ManualInput final : public CountdownCancelInput {
public:
  void install(std::function<void()> fn) override { cancel = std::move(fn); }
  void remove() override { cancel = nullptr; }
  std::function<void()> cancel;
};

// An overlay on the virtual clock; each count's answer lands in result.
struct Rig {
  void start(int from) {
    result.reset();
    spawn([](CountdownOverlay& overlay, int from, std::optional<bool>& result) -> Task<void> {
      result = co_await overlay.run(from);
    }(overlay, from, result));
  }

  VirtualMainLoop loop;
  RecordingSurface surface{loop};
  ManualInput escape;
  ManualInput hotKeys;
  CountdownOverlay overlay{loop, surface, {&escape, &hotKeys}};
  std::optional<bool> result;
};

TEST(CountdownOverlay, RunsOutAfterThreeSecondsShowingEachDigitForOneSecond) {
  Rig rig;
  rig.start(3);
  EXPECT_TRUE(rig.overlay.isRunning());
  EXPECT_TRUE(rig.escape.cancel && rig.hotKeys.cancel);
  std::function<void()> stale = rig.escape.cancel;
  rig.loop.advance(Milliseconds(2999));
  EXPECT_FALSE(rig.result.has_value());
  rig.loop.advance(Milliseconds(1));
  rig.loop.runUntilIdle();
  EXPECT_EQ(rig.result, true);
  EXPECT_EQ(rig.surface.shown, "show@0 3@0 2@1000 1@2000 hide@3000 ");
  EXPECT_FALSE(rig.escape.cancel || rig.hotKeys.cancel) << "the inputs are gone";
  EXPECT_FALSE(rig.overlay.isRunning());

  // A zero count runs out at once; a cancel between counts or a stale press
  // does not spoil the next count, shown in full in a new window.
  rig.surface.shown.clear();
  rig.start(0);
  rig.loop.runUntilIdle();
  EXPECT_EQ(rig.result, true);
  stale();
  rig.overlay.cancel();
  rig.start(1);
  rig.loop.advance(Milliseconds(1000));
  EXPECT_EQ(rig.result, true);
  EXPECT_EQ(rig.surface.shown, "show@3000 hide@3000 show@3000 1@3000 hide@4000 ");
}

// Escape, any hot key and the program itself (a session closed during its
// countdown) cancel within the running tenth, up to the count's last tenth.
TEST(CountdownOverlay, EveryInputCancelsWithinATenthAndRemovesEverything) {
  struct Case {
    const char* input;
    int at;
    const char* shown;
  };
  for (Case c : {Case{"escape", 1450, "show@0 3@0 2@1000 hide@1500 "},
                 Case{"hot key", 300, "show@0 3@0 hide@400 "},
                 Case{"escape", 2950, "show@0 3@0 2@1000 1@2000 hide@3000 "},
                 Case{"program", 1000, "show@0 3@0 2@1000 hide@1100 "}}) {
    SCOPED_TRACE(c.input + std::to_string(c.at));
    Rig rig;
    rig.start(3);
    rig.loop.advance(Milliseconds(c.at));
    if (c.input == std::string("program"))
      rig.overlay.cancel();
    else
      (c.input == std::string("escape") ? rig.escape : rig.hotKeys).cancel();
    rig.loop.advance(Milliseconds(100));
    EXPECT_EQ(rig.result, false);
    EXPECT_EQ(rig.surface.shown, c.shown);
    EXPECT_FALSE(rig.escape.cancel || rig.hotKeys.cancel) << "the inputs are gone";
  }
}

// Each plan written as title, role, default (Return), Escape.
std::string describe(const std::vector<AlertButtonPlan>& plan) {
  static const char* roles[] = {"accept", "reject", "destructive", "action"};
  std::string text;
  for (const AlertButtonPlan& button : plan)
    text += button.title + " " + roles[static_cast<int>(button.role)] +
            (button.isDefault ? " default" : "") + (button.isEscape ? " escape" : "") + "\n";
  return text;
}

TEST(AlertButtons, OrderRolesDefaultAndEscape) {
  auto plan = [](std::vector<std::string> buttons) {
    return describe(planAlertButtons(Alert{"Title", "", AlertStyle::warning, std::move(buttons)}));
  };
  EXPECT_EQ(plan({"Save…", "Don\u2019t Save", "Cancel"}),
            "Save… accept default\nDon\u2019t Save destructive\nCancel reject escape\n");
  // Without buttons: one OK that Escape also chooses.
  EXPECT_EQ(plan({}), "OK accept default escape\n");
  // Without a "Cancel", Escape picks nothing: the alert answers -1.
  EXPECT_EQ(plan({"Open Sound Settings", "Discard all", "Later"}),
            "Open Sound Settings accept default\nDiscard all destructive\nLater action\n");
}

// Each state's panel: title, mark (secondary, red, yellow, blue) and hints.
TEST(RecordingStatus, TitleMarkAndHintsFollowTheStateAndNameTheFactoryKeys) {
  std::string shown;
  for (AppState state :
       {AppState::idle, AppState::recording, AppState::paused, AppState::reviewing}) {
    StatusContent content = statusContent(state, 12, 10);
    shown += content.title + " " + std::to_string(static_cast<int>(content.mark));
    for (const StatusHint& hint : content.hints)
      shown += ", " + hint.keyText + " " + hint.label;
    shown += "\n";
  }
  EXPECT_EQ(shown, "Ready — S12T10 0, Ctrl+Shift+Return Start take, Ctrl+Shift+N Next scene\n"
                   "REC — S12T10 1, Ctrl+Shift+Space Pause, Ctrl+Shift+Return End take, "
                   "Ctrl+Shift+N End + next scene\n"
                   "PAUSED — S12T10 2, Ctrl+Shift+Space Resume, Ctrl+Shift+Return End take\n"
                   "Review — S12 3, Ctrl+Shift+Return Approve + new take, Ctrl+Shift+N Approve + "
                   "new scene, Ctrl+Shift+R Retake\n");
}

TEST(RecordingStatus, PanelSitsTopCentreTwelvePixelsBelowTheWorkArea) {
  // 1440 x 875 work area at the origin: the 260 wide panel's left is 590.
  EXPECT_EQ(statusPanelOrigin({0, 0, 1440, 875}, kStatusPanelWidth), (PanelPoint{590, 12}));
  // A work area below a 32 px top bar on a second screen to the right.
  EXPECT_EQ(statusPanelOrigin({1280, 32, 1920, 1048}, 220), (PanelPoint{2130, 44}));
}

Session sessionWithScenes(int count, int current = 0) {
  Session session("/tmp/scratch/ABC");
  session.scenes.resize(static_cast<size_t>(count));
  session.currentSceneIndex = current;
  return session;
}

const std::string kTail = "---\nSettings…\nCheck for Updates…\n---\nQuit\n";

// Each state's menu; of the two recovered sessions waiting, only idle offers them.
TEST(MenuModel, EachStateShowsItsItems) {
  Session packaged = sessionWithScenes(3, 1);
  // A package path written with a trailing slash names the same package.
  packaged.bundleURL = "/home/me/Talk.vidorel/";
  Session two = sessionWithScenes(2, 1);
  Session one = sessionWithScenes(1);
  Session three = sessionWithScenes(3, 2);
  std::vector<Session> recovered{sessionWithScenes(1), sessionWithScenes(2)};
  struct Case {
    AppState state;
    const Session* session;
    int take;
    std::string menu;
  };
  const Case cases[] = {
      {AppState::idle, nullptr, 1,
       "New Recording\nOpen Recording…\nNext Scene\n---\nResume recording (1 scene)\n"
       "Resume recording (2 scenes)\nDiscard all recovered recordings\n---\n"
       "Save Recording (disabled)\nSave Recording As…\nClose Recording\n---\n"
       "Export Final Video… (disabled)\n"},
      {AppState::idle, &packaged, 3,
       "Talk (3 scenes)\nReview Window\n---\nStart S2T3 (Scene 2 Take #3)\nOpen Recording…\n"
       "Next Scene\n---\nResume recording (1 scene)\nResume recording (2 scenes)\n"
       "Discard all recovered recordings\n---\nSave Recording\nSave Recording As…\n"
       "Close Recording\n---\nExport Final Video…\n"},
      {AppState::recording, &two, 4,
       "Recording: 2 scenes\nReview Window\n---\n● Recording — Scene 2, Take 4\n---\nPause\n"
       "End Take\nNext Scene\n---\nClose Recording\n"},
      {AppState::paused, &one, 1,
       "Recording: 1 scene\nReview Window\n---\nScene 1 — paused\n---\nResume\nEnd Take\n---\n"
       "Close Recording\n"},
      {AppState::reviewing, &three, 2,
       "Recording: 3 scenes\nReview Window\n---\nReviewing — Scene 3\n---\nClose Recording\n"},
  };
  for (const Case& c : cases) {
    MenuInput input{c.state, c.session, c.take, &recovered, nullptr};
    std::vector<MenuEntry> entries = buildMenu(input);
    EXPECT_EQ(describeMenu(entries), c.menu + kTail);
    int recoveredSeen = 0;
    for (const MenuEntry& entry : entries) {
      bool recoveredItem = entry.command == MenuCommand::openRecoveredSession;
      EXPECT_EQ(entry.recoveredIndex, recoveredItem ? recoveredSeen++ : -1) << entry.title;
      // Captions and separators are never commands.
      EXPECT_EQ(entry.kind == MenuEntry::Kind::item, entry.command != MenuCommand::none)
          << entry.title;
      EXPECT_TRUE(entry.kind == MenuEntry::Kind::item || !entry.enabled) << entry.title;
    }
  }
}

} // namespace
} // namespace vidorel
