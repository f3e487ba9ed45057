// `vidorel ctl` against the running app under the test desktop: a whole
// take is driven by the command alone, and the state it prints is checked
// at each step, then the take file is read back with ffprobe.

#include "fakes/shell_command.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using vidorel::testing::CommandResult;

CommandResult run(const std::string& command) {
  return vidorel::testing::runShellCommand(command);
}

// Private folders for one app and the ctl commands that reach it.
class CtlDesktop {
public:
  explicit CtlDesktop(fs::path root) : root_(std::move(root)) {
    for (const char* folder : {"data", "config", "runtime"})
      fs::create_directories(root_ / folder);
    fs::permissions(root_ / "runtime", fs::perms::owner_all);
  }

  ~CtlDesktop() {
    stop();
    fs::remove_all(root_);
  }

  void start() {
    pid_ = fork();
    if (pid_ == 0) {
      setEnvironment();
      std::string log = (root_ / "app.log").string();
      freopen(log.c_str(), "w", stderr);
      execl(VIDOREL_BINARY, VIDOREL_BINARY, nullptr);
      _exit(127);
    }
  }

  // The app has no quit over ctl: it is ended the way a session logout would.
  void stop() {
    if (pid_ <= 0)
      return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 50; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  CommandResult ctl(const std::string& arguments) const {
    return run("env XDG_DATA_HOME='" + (root_ / "data").string() + "' XDG_CONFIG_HOME='" +
               (root_ / "config").string() + "' XDG_RUNTIME_DIR='" + (root_ / "runtime").string() +
               "' " + VIDOREL_BINARY + " ctl " + arguments);
  }

  // Polls `ctl status` until it prints `expected`.
  bool waitForStatus(const std::string& expected, double seconds) const {
    auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < deadline) {
      CommandResult status = ctl("status");
      if (status.status == 0 && status.output == expected)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  std::string log() const { return run("cat '" + (root_ / "app.log").string() + "'").output; }
  fs::path sessions() const { return root_ / "data" / "Vidorel" / "Sessions"; }

private:
  void setEnvironment() const {
    setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root_ / "runtime").c_str(), 1);
    // Only the public control lines: ctl must do without the test hooks.
    unsetenv("VIDOREL_TEST_CONTROL");
  }

  fs::path root_;
  pid_t pid_ = -1;
};

fs::path makeRoot() {
  char pattern[] = "/tmp/vidorel-ctl.XXXXXX";
  return mkdtemp(pattern);
}

TEST(CtlCommand, BadUsageAndNoRunningAppAreToldApart) {
  CtlDesktop desktop(makeRoot());
  CommandResult none = desktop.ctl("");
  EXPECT_EQ(none.status, 64) << none.output;
  EXPECT_NE(none.output.find("Usage: vidorel ctl ACTION"), std::string::npos) << none.output;
  CommandResult unknown = desktop.ctl("quit");
  EXPECT_EQ(unknown.status, 64) << unknown.output;
  EXPECT_NE(unknown.output.find("unknown action \"quit\""), std::string::npos) << unknown.output;
  EXPECT_EQ(desktop.ctl("status extra").status, 64);
  EXPECT_EQ(desktop.ctl("--help").status, 0);

  CommandResult notRunning = desktop.ctl("status");
  EXPECT_EQ(notRunning.status, 1);
  EXPECT_EQ(notRunning.output, "Vidorel is not running.");
  CommandResult action = desktop.ctl("end-take");
  EXPECT_EQ(action.status, 1);
  EXPECT_EQ(action.output, "Vidorel is not running.");
}

TEST(CtlCommand, DrivesAWholeTakeAndPrintsTheStateAfterEachAction) {
  ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under scripts/desktop-env";
  CtlDesktop desktop(makeRoot());
  desktop.start();
  ASSERT_TRUE(desktop.waitForStatus("idle", 15)) << desktop.log();

  // Without a session there is no take to end.
  CommandResult nothing = desktop.ctl("end-take");
  EXPECT_EQ(nothing.status, 0);
  EXPECT_EQ(nothing.output, "idle");

  CommandResult started = desktop.ctl("new");
  ASSERT_EQ(started.status, 0) << desktop.log();
  EXPECT_EQ(started.output, "countdown S1T1") << desktop.log();
  ASSERT_TRUE(desktop.waitForStatus("recording S1T1", 8)) << desktop.log();
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));

  CommandResult paused = desktop.ctl("start-pause");
  EXPECT_EQ(paused.status, 0);
  EXPECT_EQ(paused.output, "paused S1T1");
  CommandResult resumed = desktop.ctl("start-pause");
  EXPECT_EQ(resumed.output, "recording S1T1");
  // Retake means nothing while recording: the state is printed unchanged.
  EXPECT_EQ(desktop.ctl("retake").output, "recording S1T1");
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));

  CommandResult ended = desktop.ctl("end-take");
  ASSERT_EQ(ended.status, 0) << desktop.log();
  EXPECT_EQ(ended.output, "reviewing S1T1") << desktop.log();
  EXPECT_EQ(desktop.ctl("status").output, "reviewing S1T1");

  fs::path take;
  for (const fs::directory_entry& session : fs::directory_iterator(desktop.sessions())) {
    if (fs::exists(session.path() / "takes" / "scene-1-take-1.mov"))
      take = session.path() / "takes" / "scene-1-take-1.mov";
  }
  ASSERT_FALSE(take.empty()) << "no take file under " << desktop.sessions();
  std::string probe = run("ffprobe -v error -show_entries stream=codec_name,codec_type "
                          "-show_entries format=duration -of csv=p=0 '" +
                          take.string() + "'")
                          .output;
  EXPECT_NE(probe.find("h264,video"), std::string::npos) << probe;
  EXPECT_NE(probe.find("aac,audio"), std::string::npos) << probe;
  double duration = std::atof(probe.substr(probe.rfind('\n') + 1).c_str());
  EXPECT_GT(duration, 1.5) << probe;
  // Every frame decodes. The frames keep their own times: ffmpeg's default
  // puts them on a grid of the rate it guesses, which for a take of still
  // pictures can be a few frames a second, and two frames meeting in one
  // step of it is reported as an error.
  CommandResult decode = run("ffmpeg -v error -i '" + take.string() +
                             "' -fps_mode passthrough -enc_time_base -1 -f null -");
  EXPECT_EQ(decode.status, 0) << decode.output;
  EXPECT_EQ(decode.output, "");

  // Retake throws the take away and counts down to the same take again;
  // start-pause during a countdown cancels it, as the hot key does.
  CommandResult retake = desktop.ctl("retake");
  EXPECT_EQ(retake.output, "countdown S1T1") << desktop.log();
  EXPECT_FALSE(fs::exists(take));
  CommandResult cancelled = desktop.ctl("start-pause");
  EXPECT_EQ(cancelled.output, "idle S1T1") << desktop.log();
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  EXPECT_EQ(desktop.ctl("status").output, "idle S1T1");
}

} // namespace
