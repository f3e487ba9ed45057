// The app with WAYLAND_DISPLAY set (windows still on the test X server), its
// screen from the fake ScreenCast portal's real PipeWire picture.

#include "support/movie_tools.h"
#include "support/running_app.h"
#include "wayland/fake_portal.h"

#include <gtest/gtest.h>

namespace {

using namespace vidorel::e2e;
using vidorel::testing::FakePortal;
using vidorel::testing::onTheDesktop;

// The portal's monitor (not the X screen; its colours: portal_capture_tests),
// with the microphone's sound.
void expectPortalPicture(const fs::path& take) {
  nlohmann::json info = vidorel::testing::probeMovie(take, true);
  ASSERT_TRUE(info.is_object()) << take;
  ASSERT_EQ(info["streams"].size(), 2u);
  EXPECT_EQ(info["streams"][0]["codec_name"], "h264");
  EXPECT_EQ(info["streams"][0]["width"], 320) << "the portal's monitor, not the X screen";
  EXPECT_EQ(info["streams"][0]["height"], 240);
  EXPECT_GT(std::atoi(info["streams"][0]["nb_read_frames"].get<std::string>().c_str()), 10);
  EXPECT_EQ(info["streams"][1]["codec_name"], "aac");
  std::string volume = vidorel::testing::runShellCommand(
                           "ffmpeg -v info -i '" + take.string() +
                           "' -map 0:a -af volumedetect -f null - 2>&1 | grep -o 'mean_volume: .*'")
                           .output;
  ASSERT_FALSE(volume.empty());
  EXPECT_GT(std::atof(volume.c_str() + 13), -40.0) << volume;
}

TEST(WaylandApp, ATakeDrivenByCtlAndThePortalsHotKeysWhileTheDesktopAsksForThem) {
  ASSERT_TRUE(std::getenv("DISPLAY") && std::getenv("PULSE_SERVER")) << "run under desktop-env";
  ASSERT_NE(vidorel::testing::testNode(), 0u) << "run under tests/wayland/with-pipewire";
  vidorel::testing::TemporaryFolder root("wayland");
  FakePortal portal({"--hold-bind"});
  // A Wayland session as the app sees it; Qt still draws on X.
  RunningApp app(root.path(), {.environment = {{"WAYLAND_DISPLAY", "vidorel-test-none"},
                                               {"QT_QPA_PLATFORM", "xcb"}}});
  auto ctl = [&](const std::string& action) { return app.command("ctl " + action).output; };
  ASSERT_TRUE(eventually(15, [&] { return portal.calls("BindShortcuts").size() == 1; }))
      << app.log();
  // The desktop's shortcuts dialog is open; the app answers all the same.
  EXPECT_EQ(ctl("status"), "idle") << app.log();
  EXPECT_EQ(onTheDesktop("ReleaseBind"), 0);
  EXPECT_EQ(app.ask("hot-keys?"), "portal");

  EXPECT_EQ(ctl("new"), "countdown S1T1") << app.log();
  ASSERT_TRUE(app.waitForStatus("recording S1T1", 10)) << app.log();
  sleepSeconds(1.5);
  EXPECT_EQ(app.ask("status?"), "none") << "no status panel over a monitor stream";
  // The desktop reports the pause hot key through the portal.
  EXPECT_EQ(onTheDesktop("Activate string:startPause"), 0);
  EXPECT_TRUE(app.waitForStatus("paused S1T1", 5)) << app.log();
  EXPECT_EQ(ctl("start-pause"), "recording S1T1");
  ASSERT_EQ(ctl("end-take"), "reviewing S1T1") << app.log();
  ASSERT_NO_FATAL_FAILURE(
      expectPortalPicture(fs::path(app.ask("session?")) / "takes" / "scene-1-take-1.mov"));
  // The app keeps the restore token, so the next start need not ask.
  EXPECT_NE(vidorel::testing::readFile(root.path() / "config/Vidorel/defaults.json")
                .find("screenCastRestoreToken"),
            std::string::npos);
}

// A refused share dialog at launch: the app's portal backend tells the
// permission flow, which shows its alert at once.
TEST(WaylandApp, ARefusedShareDialogAtLaunchShowsTheAlert) {
  vidorel::testing::TemporaryFolder root("wayland-refused");
  FakePortal portal({"--refuse"});
  RunningApp app(root.path(), {.environment = {{"WAYLAND_DISPLAY", "vidorel-test-none"},
                                               {"QT_QPA_PLATFORM", "xcb"}}});
  EXPECT_TRUE(eventually(
      15, [&] { return app.ask("alert?").starts_with("Screen Recording access required"); }))
      << app.ask("alert?") << app.log();
}

} // namespace
