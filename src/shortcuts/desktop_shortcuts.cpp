#include "shortcuts/desktop_shortcuts.h"

#include "shortcuts/shortcut_action.h"

#include <system_error>

namespace vidorel {

namespace {

constexpr const char* kProgramName = "vidorel";

bool isGlobal(ShortcutAction action) {
  for (ShortcutAction global : globalShortcutActions) {
    if (global == action)
      return true;
  }
  return false;
}

bool isPlainPathCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
         c == '.' || c == '_' || c == '-' || c == '+' || c == ',' || c == ':' || c == '@' ||
         c == '%';
}

// Single quotes keep everything but a single quote, which closes the
// quote, is escaped and opens it again.
std::string shellQuoted(const std::string& text) {
  bool plain = !text.empty();
  for (char c : text)
    plain = plain && isPlainPathCharacter(c);
  if (plain)
    return text;
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

} // namespace

ShortcutRowContent shortcutRowContent(ShortcutAction action, const DesktopShortcutsStatus& status,
                                      const std::string& ctlProgram) {
  ShortcutRowContent content;
  // The other actions are the menu's key equivalents, always the program's.
  if (!isGlobal(action) || status.state == DesktopShortcutsState::notUsed)
    return content;
  content.recordable = false;
  switch (status.state) {
  case DesktopShortcutsState::notUsed:
    break;
  case DesktopShortcutsState::waiting:
    content.fieldText = kAskingTheDesktopText;
    content.note = kDesktopAssignsNote;
    break;
  case DesktopShortcutsState::bound: {
    auto trigger = status.triggers.find(action);
    if (trigger == status.triggers.end() || trigger->second.empty()) {
      content.fieldText = "None";
      content.note = kAssignInDesktopNote;
    } else {
      content.fieldText = trigger->second;
      content.note = kChangedInDesktopNote;
    }
    break;
  }
  case DesktopShortcutsState::refused:
  case DesktopShortcutsState::absent:
    content.fieldText = kInDesktopSettingsText;
    content.note = ctlCommandLine(ctlProgram, action);
    break;
  }
  return content;
}

std::string desktopShortcutsNotice(const DesktopShortcutsStatus& status) {
  if (status.state == DesktopShortcutsState::absent)
    return kNoShortcutsPortalNotice;
  if (status.state == DesktopShortcutsState::refused)
    return kShortcutsRefusedNotice;
  return {};
}

std::string_view ctlWord(ShortcutAction action) {
  switch (action) {
  case ShortcutAction::startPause:
    return "start-pause";
  case ShortcutAction::endTake:
    return "end-take";
  case ShortcutAction::nextScene:
    return "next-scene";
  case ShortcutAction::retake:
    return "retake";
  default:
    return {};
  }
}

std::string ctlCommandLine(const std::string& ctlProgram, ShortcutAction action) {
  return ctlProgram + " ctl " + std::string(ctlWord(action));
}

std::string ctlProgramName(const std::filesystem::path& executable, std::string_view pathVariable) {
  std::string_view rest = pathVariable;
  while (true) {
    size_t colon = rest.find(':');
    std::string_view folder = rest.substr(0, colon);
    // An empty entry is the current folder, which a desktop's launcher
    // does not share with this program: not counted.
    if (!folder.empty() && folder.front() == '/') {
      std::filesystem::path candidate = std::filesystem::path(folder) / kProgramName;
      std::error_code error;
      std::filesystem::file_status found = std::filesystem::status(candidate, error);
      constexpr auto anyExec = std::filesystem::perms::owner_exec |
                               std::filesystem::perms::group_exec |
                               std::filesystem::perms::others_exec;
      bool runnable = std::filesystem::is_regular_file(found) &&
                      (found.permissions() & anyExec) != std::filesystem::perms::none;
      if (runnable) {
        if (std::filesystem::equivalent(candidate, executable, error))
          return kProgramName;
        // The first one found is the one a command would start.
        break;
      }
    }
    if (colon == std::string_view::npos)
      break;
    rest.remove_prefix(colon + 1);
  }
  return shellQuoted(executable.string());
}

} // namespace vidorel
