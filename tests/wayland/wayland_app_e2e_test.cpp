// The whole app in a Wayland session, as far as it can be had without a
// compositor: WAYLAND_DISPLAY is set (the windows still go to the test X
// server), the screen comes from the fake ScreenCast portal and a real
// PipeWire test picture, and the app is driven by `vidorel ctl`.

#include "fakes/shell_command.h"
#include "support/movie_tools.h"
#include "support/running_app.h"
#include "support/temporary_folder.h"
#include "wayland/fake_portal.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using vidorel::testing::CommandResult;
using vidorel::testing::FakePortal;

CommandResult run(const std::string& command) {
  return vidorel::testing::runShellCommand(command);
}

// The id of the test picture `index` (from 0); empty without it. A picture
// serves one stream.
std::string testNode(int index) {
  const char* nodes = std::getenv("VIDOREL_TEST_PIPEWIRE_NODES");
  if (!nodes)
    return {};
  std::istringstream words(nodes);
  std::string node;
  for (int i = 0; i <= index; ++i) {
    node.clear();
    words >> node;
  }
  return node;
}

std::string firstTestNode() {
  return testNode(0);
}

// The fake portal and the app, each a child process of the test.
class WaylandApp {
public:
  // Without `withPortal` the session bus has no portal at all.
  explicit WaylandApp(std::vector<std::string> portalOptions, bool withPortal = true) {
    if (withPortal)
      portal_.emplace(root_ / "portal.jsonl", firstTestNode(), std::move(portalOptions));
    vidorel::e2e::AppOptions options;
    // A Wayland session as the app sees it; Qt still draws on X.
    options.environment = {{"WAYLAND_DISPLAY", "vidorel-test-none"}, {"QT_QPA_PLATFORM", "xcb"}};
    app_.emplace(root_, options);
  }

  ~WaylandApp() {
    app_.reset();
    portal_.reset();
  }

  CommandResult vidorel(const std::string& arguments) const { return app_->command(arguments); }

  std::string ask(const std::string& line) const { return app_->send(line).value_or(""); }
  bool waitFor(const std::string& line, const std::string& expected, double seconds) const {
    return app_->waitFor(line, expected, seconds);
  }
  bool waitForStatus(const std::string& expected, double seconds) const {
    return app_->waitForStatus(expected, seconds);
  }

  std::string log() const { return app_->log(); }
  // How often the fake portal logged `method`.
  int portalCalls(const std::string& method) const {
    return portal_ ? static_cast<int>(portal_->calls(method).size()) : 0;
  }
  fs::path sessions() const { return app_->sessions(); }

private:
  vidorel::testing::TemporaryFolder temporary_{"wayland"};
  const fs::path& root_ = temporary_.path();
  std::optional<FakePortal> portal_;
  std::optional<vidorel::e2e::RunningApp> app_;
};

void screenshot(const std::string& name) {
  fs::create_directories(VIDOREL_ARTIFACTS_DIR);
  std::string file = (fs::path(VIDOREL_ARTIFACTS_DIR) / name).string();
  run("import -window root '" + file + "'");
  std::printf("artefact: %s\n", file.c_str());
}

TEST(WaylandApp, AnswersWhileTheDesktopsShortcutsDialogIsOpen) {
  ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under scripts/desktop-env";
  ASSERT_FALSE(firstTestNode().empty()) << "run under tests/wayland/with-pipewire";
  WaylandApp app({"--hold-bind"});
  auto deadline = Clock::now() + std::chrono::seconds(15);
  while (app.portalCalls("BindShortcuts") < 1 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(app.portalCalls("BindShortcuts"), 1) << app.log();
  // The desktop has not answered; the app does.
  EXPECT_EQ(app.vidorel("ctl status").output, "idle") << app.log();
  ASSERT_EQ(app.ask("open-settings"), "ok");
  ASSERT_TRUE(app.waitFor("window? settings", "open", 5)) << app.log();
  EXPECT_EQ(app.ask("settings? endTake"), "Asking the desktop…|The desktop assigns it");
  EXPECT_EQ(run("dbus-send --session --type=method_call --dest=org.freedesktop.portal.Desktop "
                "/org/freedesktop/portal/desktop org.vidorel.Test.ReleaseBind")
                .status,
            0);
  EXPECT_TRUE(app.waitFor("settings? endTake",
                          "assigned CTRL+SHIFT+Return|Changed in the desktop's keyboard settings",
                          5))
      << app.ask("settings? endTake");
  EXPECT_EQ(app.portalCalls("BindShortcuts"), 1);
  screenshot("wayland-settings-portal.png");
}

TEST(WaylandRecordCommand, RecordsTheMonitorTheDesktopShares) {
  ASSERT_NE(std::getenv("PULSE_SERVER"), nullptr) << "run under scripts/desktop-env";
  std::string node = testNode(1);
  ASSERT_FALSE(node.empty()) << "run under tests/wayland/with-pipewire";
  fs::path root = vidorel::testing::makeTemporaryFolder("wayland-record");
  FakePortal portal(root / "portal.jsonl", node);
  fs::path take = root / "take.mov";
  CommandResult recorded =
      run("env WAYLAND_DISPLAY=vidorel-test-none XDG_CONFIG_HOME='" + root.string() + "' " +
          VIDOREL_BINARY + " record '" + take.string() + "' --seconds 2");
  EXPECT_FALSE(portal.calls("Start").empty()) << "the screen came through the portal";
  EXPECT_EQ(recorded.status, 0) << recorded.output;
  nlohmann::json info = vidorel::testing::probeMovie(take, true);
  ASSERT_TRUE(info.is_object()) << recorded.output;
  ASSERT_EQ(info["streams"].size(), 2u);
  EXPECT_EQ(info["streams"][0]["width"], 320) << "the portal's monitor, not the X screen";
  EXPECT_EQ(info["streams"][0]["height"], 240);
  EXPECT_GT(std::atoi(info["streams"][0]["nb_read_frames"].get<std::string>().c_str()), 10);
  EXPECT_EQ(info["streams"][1]["codec_name"], "aac");
  fs::remove_all(root);
}

TEST(WaylandApp, ARefusedScreenCastDialogShowsTheScreenRecordingAlert) {
  ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under scripts/desktop-env";
  ASSERT_FALSE(firstTestNode().empty()) << "run under tests/wayland/with-pipewire";
  WaylandApp app({"--refuse"});
  ASSERT_TRUE(app.waitForStatus("idle", 15)) << app.log();
  ASSERT_EQ(app.ask("new-recording"), "ok");
  bool shown = false;
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!shown && Clock::now() < deadline) {
    std::string where = app.ask("where? button OK");
    shown = !where.empty() && where[0] >= '0' && where[0] <= '9';
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(shown) << app.log();
  EXPECT_NE(app.log().find("the user refused to share the screen"), std::string::npos) << app.log();
  EXPECT_EQ(app.ask("state?"), "idle");
}

TEST(WaylandApp, ATakeDrivenByCtlRecordsThePortalsMonitorWithoutTheStatusPanel) {
  ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under scripts/desktop-env";
  ASSERT_FALSE(firstTestNode().empty()) << "run under tests/wayland/with-pipewire";
  WaylandApp app({});
  ASSERT_TRUE(app.waitForStatus("idle", 15)) << app.log();
  // The hot keys go through the desktop's GlobalShortcuts portal.
  EXPECT_EQ(app.ask("hot-keys?"), "portal");
  CommandResult started = app.vidorel("ctl new");
  EXPECT_EQ(started.output, "countdown S1T1") << app.log();
  ASSERT_TRUE(app.waitForStatus("recording S1T1", 10)) << app.log();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(app.ask("status?"), "none") << "no status panel over a monitor stream";
  // The desktop reports the pause hot key through the portal.
  EXPECT_EQ(run("dbus-send --session --type=method_call --dest=org.freedesktop.portal.Desktop "
                "/org/freedesktop/portal/desktop org.vidorel.Test.Activate string:startPause")
                .status,
            0);
  EXPECT_TRUE(app.waitForStatus("paused S1T1", 5)) << app.log();
  EXPECT_EQ(app.vidorel("ctl start-pause").output, "recording S1T1");
  CommandResult ended = app.vidorel("ctl end-take");
  ASSERT_EQ(ended.output, "reviewing S1T1") << app.log();

  fs::path take;
  for (const fs::directory_entry& session : fs::directory_iterator(app.sessions())) {
    if (fs::exists(session.path() / "takes" / "scene-1-take-1.mov"))
      take = session.path() / "takes" / "scene-1-take-1.mov";
  }
  ASSERT_FALSE(take.empty());
  nlohmann::json info = vidorel::testing::probeMovie(take);
  ASSERT_TRUE(info.is_object());
  ASSERT_EQ(info["streams"].size(), 2u);
  EXPECT_EQ(info["streams"][0]["codec_name"], "h264");
  EXPECT_EQ(info["streams"][0]["width"], 320) << "the portal's monitor, not the X screen";
  EXPECT_EQ(info["streams"][0]["height"], 240);
  EXPECT_EQ(info["streams"][1]["codec_name"], "aac");
  // The restore token is kept, so the next start need not ask.
  EXPECT_NE(run("cat '" +
                (app.sessions().parent_path().parent_path().parent_path() / "config" / "Vidorel" /
                 "defaults.json")
                    .string() +
                "'")
                .output.find("screenCastRestoreToken"),
            std::string::npos);
}

} // namespace
