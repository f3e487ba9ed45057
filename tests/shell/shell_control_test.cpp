#include "shell/shell_control.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace vidorel {
namespace {

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
