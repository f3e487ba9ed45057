#include "shell/shell_control.h"

#include "base/format.h"

#include <array>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace vidorel {

std::filesystem::path controlSocketPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime)
    return std::filesystem::path(runtime) / "vidorel" / "control";
  return std::filesystem::temp_directory_path() /
         ("vidorel-" + std::to_string(static_cast<long>(getuid()))) / "control";
}

ControlCommand parseControlCommand(const std::string& line) {
  std::string trimmed = line;
  while (!trimmed.empty() &&
         (trimmed.back() == '\n' || trimmed.back() == '\r' || trimmed.back() == ' '))
    trimmed.pop_back();
  ControlCommand command;
  size_t space = trimmed.find(' ');
  if (space == std::string::npos) {
    command.verb = trimmed;
    return command;
  }
  command.verb = trimmed.substr(0, space);
  command.argument = trimmed.substr(space + 1);
  return command;
}

bool isPublicControlVerb(const std::string& verb) {
  return verb == kShowMenuCommand || verb == kCtlCommand;
}

namespace {

struct CtlActionName {
  CtlAction action;
  std::string_view word;
};

constexpr std::array<CtlActionName, 6> kCtlActionNames = {{
    {CtlAction::startPause, "start-pause"},
    {CtlAction::endTake, "end-take"},
    {CtlAction::nextScene, "next-scene"},
    {CtlAction::retake, "retake"},
    {CtlAction::newSession, "new"},
    {CtlAction::status, "status"},
}};

} // namespace

std::string_view ctlActionWord(CtlAction action) {
  for (const CtlActionName& name : kCtlActionNames) {
    if (name.action == action)
      return name.word;
  }
  return {};
}

std::optional<CtlAction> parseCtlAction(std::string_view word) {
  for (const CtlActionName& name : kCtlActionNames) {
    if (name.word == word)
      return name.action;
  }
  return std::nullopt;
}

std::optional<ShortcutAction> hotKeyAction(CtlAction action) {
  switch (action) {
  case CtlAction::startPause:
    return ShortcutAction::startPause;
  case CtlAction::endTake:
    return ShortcutAction::endTake;
  case CtlAction::nextScene:
    return ShortcutAction::nextScene;
  case CtlAction::retake:
    return ShortcutAction::retake;
  case CtlAction::newSession:
  case CtlAction::status:
    return std::nullopt;
  }
  return std::nullopt;
}

std::string formatCtlStatus(const CtlStatus& status) {
  if (!status.hasSession)
    return "idle";
  std::string word(stateName(status.state));
  if (status.countingDown && status.state == AppState::idle)
    word = "countdown";
  return formatString("%s S%dT%d", word.c_str(), status.sceneNumber, status.takeNumber);
}

bool ctlActionEndsTake(CtlAction action, AppState state) {
  if (state != AppState::recording && state != AppState::paused)
    return false;
  return action == CtlAction::endTake || action == CtlAction::nextScene;
}

namespace {

// One pending answer; polls the probe on the loop until it may answer.
struct CtlReplyWait {
  MainLoop& loop;
  std::string before;
  std::function<CtlProgress()> probe;
  std::function<void(std::string)> reply;
  CtlReplyTiming timing;
  Milliseconds waited{0};
  Milliseconds idleFor{0};

  static void step(std::shared_ptr<CtlReplyWait> wait) {
    CtlProgress progress = wait->probe();
    bool changed = progress.line != wait->before;
    wait->idleFor = progress.busy ? Milliseconds(0) : wait->idleFor + wait->timing.poll;
    bool settled = !progress.busy && (changed || wait->idleFor >= wait->timing.settle);
    if (settled || wait->waited >= wait->timing.limit) {
      wait->reply(progress.line);
      return;
    }
    wait->waited += wait->timing.poll;
    MainLoop& loop = wait->loop;
    Milliseconds poll = wait->timing.poll;
    loop.postAfter(poll, [wait = std::move(wait)]() mutable { step(std::move(wait)); });
  }
};

} // namespace

void replyWhenSettled(MainLoop& loop, std::string before, std::function<CtlProgress()> probe,
                      std::function<void(std::string)> reply, CtlReplyTiming timing) {
  auto wait = std::make_shared<CtlReplyWait>(
      CtlReplyWait{loop, std::move(before), std::move(probe), std::move(reply), timing});
  // The first look comes after one turn of the loop: an action may post its
  // next step (approving a take posts the next take's start).
  loop.postAfter(timing.poll,
                 [wait = std::move(wait)]() mutable { CtlReplyWait::step(std::move(wait)); });
}

void ShortcutHandlerTap::setHandler(ShortcutAction action, std::function<void()> handler) {
  handlers_[action] = handler;
  backend_.setHandler(action, std::move(handler));
}

bool ShortcutHandlerTap::run(ShortcutAction action) const {
  auto found = handlers_.find(action);
  if (found == handlers_.end() || !found->second)
    return false;
  found->second();
  return true;
}

} // namespace vidorel
