#include "shell/shell_control.h"

#include <cstdlib>
#include <unistd.h>

namespace vidorel {

namespace {

std::string keyName(const std::string& keyEquivalent) {
  if (keyEquivalent == "\r")
    return "Return";
  if (keyEquivalent == " ")
    return "Space";
  if (keyEquivalent == "\t")
    return "Tab";
  if (keyEquivalent.size() != 1)
    return {};
  char key = keyEquivalent[0];
  if (key >= 'a' && key <= 'z')
    return std::string(1, static_cast<char>(key - 'a' + 'A'));
  if ((key >= '0' && key <= '9') || (key >= 'A' && key <= 'Z'))
    return std::string(1, key);
  // Punctuation keys name themselves, except the two Qt uses as separators.
  if (key == '+')
    return "Plus";
  if (key == ',')
    return "Comma";
  if (key > ' ' && key < 127)
    return std::string(1, key);
  return {};
}

} // namespace

std::string portableKeyText(const ShortcutBinding& binding) {
  std::string key = keyName(binding.keyEquivalent);
  if (key.empty())
    return {};
  std::string text;
  std::uint64_t modifiers = binding.eventModifiers;
  if (modifiers & controlEventModifier)
    text += "Meta+";
  if (modifiers & commandEventModifier)
    text += "Ctrl+";
  if (modifiers & optionEventModifier)
    text += "Alt+";
  if (modifiers & shiftEventModifier)
    text += "Shift+";
  return text + key;
}

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
  return verb == kShowMenuCommand;
}

} // namespace vidorel
