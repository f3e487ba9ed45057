// `vidorel ctl` against the running app under the test desktop: a whole
// take is driven by the command alone, and the state it prints is checked
// at each step, then the take file is read back with ffprobe.

#include "support/movie_tools.h"
#include "support/running_app.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;
using vidorel::e2e::AppOptions;
using vidorel::e2e::RunningApp;
using vidorel::testing::CommandResult;

// Only the public control lines: ctl must do without the test hooks.
AppOptions publicControl() {
  AppOptions options;
  options.testControl = false;
  return options;
}

TEST(CtlCommand, BadUsageAndNoRunningAppAreToldApart) {
  // No app runs with this runtime folder.
  vidorel::testing::TemporaryFolder root("ctl");
  auto ctl = [&](const std::string& arguments) {
    return vidorel::testing::runShellCommand("env XDG_RUNTIME_DIR='" + root.path().string() +
                                             "' " VIDOREL_BINARY " ctl " + arguments);
  };
  CommandResult none = ctl("");
  EXPECT_EQ(none.status, 64) << none.output;
  EXPECT_NE(none.output.find("Usage: vidorel ctl ACTION"), std::string::npos) << none.output;
  CommandResult unknown = ctl("quit");
  EXPECT_EQ(unknown.status, 64) << unknown.output;
  EXPECT_NE(unknown.output.find("unknown action \"quit\""), std::string::npos) << unknown.output;
  EXPECT_EQ(ctl("status extra").status, 64);
  EXPECT_EQ(ctl("--help").status, 0);

  CommandResult notRunning = ctl("status");
  EXPECT_EQ(notRunning.status, 1);
  EXPECT_EQ(notRunning.output, "Vidorel is not running.");
  CommandResult action = ctl("end-take");
  EXPECT_EQ(action.status, 1);
  EXPECT_EQ(action.output, "Vidorel is not running.");
}

TEST(CtlCommand, DrivesAWholeTakeAndPrintsTheStateAfterEachAction) {
  ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under scripts/desktop-env";
  vidorel::testing::TemporaryFolder root("ctl");
  RunningApp desktop(root.path(), publicControl());
  ASSERT_TRUE(desktop.waitForStatus("idle", 15)) << desktop.log();

  // Without a session there is no take to end.
  CommandResult nothing = desktop.command("ctl end-take");
  EXPECT_EQ(nothing.status, 0);
  EXPECT_EQ(nothing.output, "idle");

  CommandResult started = desktop.command("ctl new");
  ASSERT_EQ(started.status, 0) << desktop.log();
  EXPECT_EQ(started.output, "countdown S1T1") << desktop.log();
  ASSERT_TRUE(desktop.waitForStatus("recording S1T1", 8)) << desktop.log();
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));

  CommandResult paused = desktop.command("ctl start-pause");
  EXPECT_EQ(paused.status, 0);
  EXPECT_EQ(paused.output, "paused S1T1");
  CommandResult resumed = desktop.command("ctl start-pause");
  EXPECT_EQ(resumed.output, "recording S1T1");
  // Retake means nothing while recording: the state is printed unchanged.
  EXPECT_EQ(desktop.command("ctl retake").output, "recording S1T1");
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));

  CommandResult ended = desktop.command("ctl end-take");
  ASSERT_EQ(ended.status, 0) << desktop.log();
  EXPECT_EQ(ended.output, "reviewing S1T1") << desktop.log();
  EXPECT_EQ(desktop.command("ctl status").output, "reviewing S1T1");

  fs::path take;
  for (const fs::directory_entry& session : fs::directory_iterator(desktop.sessions())) {
    if (fs::exists(session.path() / "takes" / "scene-1-take-1.mov"))
      take = session.path() / "takes" / "scene-1-take-1.mov";
  }
  ASSERT_FALSE(take.empty()) << "no take file under " << desktop.sessions();
  nlohmann::json probe = vidorel::testing::probeMovie(take);
  ASSERT_TRUE(probe.is_object()) << take;
  ASSERT_EQ(probe["streams"].size(), 2u) << probe.dump();
  EXPECT_EQ(probe["streams"][0]["codec_name"], "h264");
  EXPECT_EQ(probe["streams"][1]["codec_name"], "aac");
  EXPECT_GT(std::stod(probe["format"]["duration"].get<std::string>()), 1.5);
  // Every frame decodes. The frames keep their own times: ffmpeg's default
  // puts them on a grid of the rate it guesses, which for a take of still
  // pictures can be a few frames a second, and two frames meeting in one
  // step of it is reported as an error.
  CommandResult decode =
      vidorel::testing::runShellCommand("ffmpeg -v error -i '" + take.string() +
                                        "' -fps_mode passthrough -enc_time_base -1 -f null -");
  EXPECT_EQ(decode.status, 0) << decode.output;
  EXPECT_EQ(decode.output, "");

  // Retake throws the take away and counts down to the same take again;
  // start-pause during a countdown cancels it, as the hot key does.
  CommandResult retake = desktop.command("ctl retake");
  EXPECT_EQ(retake.output, "countdown S1T1") << desktop.log();
  EXPECT_FALSE(fs::exists(take));
  CommandResult cancelled = desktop.command("ctl start-pause");
  EXPECT_EQ(cancelled.output, "idle S1T1") << desktop.log();
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  EXPECT_EQ(desktop.command("ctl status").output, "idle S1T1");
}

} // namespace
