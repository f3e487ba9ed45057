#pragma once

#include "base/main_loop.h"
#include "shortcuts/shortcut_binding.h"
#include "workflow/app_state.h"
#include "workflow/collaborators.h"

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace vidorel {

// Where the running instance listens: $XDG_RUNTIME_DIR/vidorel/control
// (a private folder under /tmp named for the user when there is no runtime
// folder).
std::filesystem::path controlSocketPath();

// One line sent to the running instance: a verb and, after the first
// space, its argument ("window? review").
struct ControlCommand {
  std::string verb;
  std::string argument;
};

ControlCommand parseControlCommand(const std::string& line);

// The verbs every start may send; the rest drive the app in tests and are
// answered only when VIDOREL_TEST_CONTROL is set.
inline constexpr const char* kShowMenuCommand = "show-menu";
// "ctl ACTION": what `vidorel ctl ACTION` sends.
inline constexpr const char* kCtlCommand = "ctl";
bool isPublicControlVerb(const std::string& verb);

// What `vidorel ctl` can ask of the running app: the four hot-key actions,
// the menu's New Recording, and the state alone.
enum class CtlAction { startPause, endTake, nextScene, retake, newSession, status };

// "start-pause", "end-take", "next-scene", "retake", "new", "status".
std::string_view ctlActionWord(CtlAction action);
std::optional<CtlAction> parseCtlAction(std::string_view word);
// The hot-key action behind a ctl action; nothing for "new" and "status".
std::optional<ShortcutAction> hotKeyAction(CtlAction action);

// The app's state as one line: "idle" without a session, otherwise the
// state and the take it concerns ("countdown S1T1", "recording S2T3",
// "reviewing S2T3", "idle S2T4" = ready for take 4 of scene 2).
struct CtlStatus {
  AppState state = AppState::idle;
  bool hasSession = false;
  bool countingDown = false;
  int sceneNumber = 1;
  int takeNumber = 1;
};
std::string formatCtlStatus(const CtlStatus& status);

// True when the action ends a running take in this state; the state then
// changes only once the take file is finished.
bool ctlActionEndsTake(CtlAction action, AppState state);

// The state line and whether work the action started is still under way
// (the permission checks before a countdown, or the finishing of a take).
struct CtlProgress {
  std::string line;
  bool busy = false;
};

// Answers a ctl action once it took effect, looking every `poll` from one
// `poll` after the action ran: as soon as the line changed and
// nothing is under way; when nothing changes, once nothing has been under
// way for `settle` (the action had nothing to do in that state); in any
// case after `limit`. `probe` and `reply` are called on the loop.
struct CtlReplyTiming {
  Milliseconds poll{20};
  Milliseconds settle{250};
  Milliseconds limit{10000};
};
void replyWhenSettled(MainLoop& loop, std::string before, std::function<CtlProgress()> probe,
                      std::function<void(std::string)> reply, CtlReplyTiming timing = {});

// Sits between the hot-key backend and whoever installs the handlers, and
// keeps each installed handler so that `vidorel ctl` runs exactly what the
// key press runs.
class ShortcutHandlerTap final : public GlobalShortcuts {
public:
  explicit ShortcutHandlerTap(GlobalShortcuts& backend) : backend_(backend) {}

  void setHandler(ShortcutAction action, std::function<void()> handler) override;
  void registerBindings(const ShortcutBindings& bindings) override {
    backend_.registerBindings(bindings);
  }
  void unregisterAll() override { backend_.unregisterAll(); }

  // Runs the action's handler as its key would; false without one.
  bool run(ShortcutAction action) const;

private:
  GlobalShortcuts& backend_;
  std::map<ShortcutAction, std::function<void()>> handlers_;
};

} // namespace vidorel
