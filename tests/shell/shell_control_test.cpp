#include "shell/shell_control.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace vidorel {
namespace {

ShortcutBinding binding(std::string key, std::uint64_t modifiers) {
  ShortcutBinding result;
  result.keyEquivalent = std::move(key);
  result.eventModifiers = modifiers;
  return result;
}

TEST(PortableKeyText, NamesTheKeysTheMenuShowsWithCommandAsCtrl) {
  EXPECT_EQ(portableKeyText(binding("\r", shiftEventModifier | commandEventModifier)),
            "Ctrl+Shift+Return");
  EXPECT_EQ(portableKeyText(binding(" ", shiftEventModifier | commandEventModifier)),
            "Ctrl+Shift+Space");
  EXPECT_EQ(portableKeyText(binding("n", shiftEventModifier | commandEventModifier)),
            "Ctrl+Shift+N");
  EXPECT_EQ(portableKeyText(binding("\t", optionEventModifier)), "Alt+Tab");
  // ⌃ is the Super key here, which Qt calls Meta.
  EXPECT_EQ(portableKeyText(binding("k", controlEventModifier | commandEventModifier)),
            "Meta+Ctrl+K");
  EXPECT_EQ(portableKeyText(binding("+", commandEventModifier)), "Ctrl+Plus");
  EXPECT_EQ(portableKeyText(binding("?", commandEventModifier)), "Ctrl+?");
  EXPECT_EQ(portableKeyText(binding("", commandEventModifier)), "");
  EXPECT_EQ(portableKeyText(binding("\x7f", commandEventModifier)), "");
}

TEST(ControlCommands, SplitVerbAndArgumentAndOnlyShowMenuIsPublic) {
  ControlCommand command = parseControlCommand("window? review\n");
  EXPECT_EQ(command.verb, "window?");
  EXPECT_EQ(command.argument, "review");
  command = parseControlCommand("show-menu\r\n");
  EXPECT_EQ(command.verb, "show-menu");
  EXPECT_EQ(command.argument, "");
  EXPECT_TRUE(isPublicControlVerb(command.verb));
  EXPECT_FALSE(isPublicControlVerb("new-recording"));
  EXPECT_FALSE(isPublicControlVerb("state?"));
}

TEST(ControlCommands, SocketLivesInTheRuntimeFolder) {
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  std::string restore = saved ? saved : "";
  setenv("XDG_RUNTIME_DIR", "/run/user/1234", 1);
  EXPECT_EQ(controlSocketPath(), std::filesystem::path("/run/user/1234/vidorel/control"));
  unsetenv("XDG_RUNTIME_DIR");
  std::filesystem::path fallback = controlSocketPath();
  EXPECT_EQ(fallback.filename(), "control");
  EXPECT_EQ(fallback.parent_path().parent_path(), std::filesystem::temp_directory_path());
  if (saved)
    setenv("XDG_RUNTIME_DIR", restore.c_str(), 1);
}

} // namespace
} // namespace vidorel
