// The whole app under the test desktop, driven by xdotool, `vidorel ctl` and
// its control socket.

#include "support/movie_tools.h"
#include "support/running_app.h"
#include "support/two_monitors.h"

#include <gtest/gtest.h>

namespace {

using namespace vidorel::e2e;
using vidorel::formatString;
using vidorel::SessionManifest;

// H.264 and AAC, every frame decodes (at its own time: ffmpeg's guessed-rate
// grid would fold a still screen's frames and call it an error).
void expectPlays(const fs::path& movie, size_t streams = 2) {
  nlohmann::json probe = vidorel::testing::probeMovie(movie);
  ASSERT_TRUE(probe.is_object()) << movie;
  ASSERT_EQ(probe["streams"].size(), streams) << probe.dump();
  EXPECT_EQ(probe["streams"][0]["codec_name"], "h264") << "copied, not re-encoded";
  EXPECT_EQ(probe["streams"][1]["codec_name"], "aac");
  CommandResult decoded =
      vidorel::testing::runShellCommand("ffmpeg -v error -i '" + movie.string() +
                                        "' -fps_mode passthrough -enc_time_base -1 -f null -");
  EXPECT_EQ(decoded.output, "") << "the movie decodes without errors";
}

class DesktopAppEndToEnd : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under desktop-env"; }
  void TearDown() override {
    // A failed walk keeps its session and movie to look at.
    if (HasFailure())
      std::printf("kept: %s\n", root_.c_str());
    else
      fs::remove_all(root_);
  }
  fs::path root_ = vidorel::testing::makeTemporaryFolder("e2e");
};

TEST(CtlCommand, BadUsageAndNoRunningAppAreToldApart) {
  vidorel::testing::TemporaryFolder root("ctl");
  struct Case {
    const char* arguments;
    int status;
    std::string says;
  };
  for (const Case& usage :
       {Case{"", 64, "Usage: vidorel ctl ACTION"}, Case{"quit", 64, "unknown action \"quit\""},
        Case{"status extra", 64, ""}, Case{"--help", 0, "Usage: vidorel ctl ACTION"},
        Case{"status", 1, "Vidorel is not running."},
        Case{"end-take", 1, "Vidorel is not running."}}) {
    CommandResult result =
        vidorel::testing::runShellCommand("env XDG_RUNTIME_DIR='" + root.path().string() +
                                          "' " VIDOREL_BINARY " ctl " + usage.arguments);
    EXPECT_EQ(result.status, usage.status) << usage.arguments;
    EXPECT_NE(result.output.find(usage.says), std::string::npos) << result.output;
    EXPECT_TRUE(usage.status != 1 || result.output == usage.says) << "nothing more";
  }
}

// A take from countdown to approval by hot keys (else their handler) and ctl.
TEST_F(DesktopAppEndToEnd, RecordsATakeFromHotKeysAndCtl) {
  fs::path root = root_;
  RunningApp app(root);
  ASSERT_TRUE(app.waitUntilIdle()) << app.log();
  bool hotKeys = app.ask("hot-keys?") == "x11";
  auto press = [&](const std::string& keys, const std::string& action) {
    if (hotKeys)
      key(keys);
    else
      ASSERT_EQ(app.ask("press " + action), "ok");
  };
  auto ctl = [&](const std::string& action) { return app.command("ctl " + action).output; };

  // A second start hands over to the running one and exits at once.
  EXPECT_EQ(vidorel::testing::runShellCommand("env XDG_RUNTIME_DIR='" +
                                              (root / "runtime").string() +
                                              "' " VIDOREL_BINARY " >/dev/null 2>&1; echo $?")
                .output,
            "0");
  EXPECT_TRUE(app.waitFor("state?", "idle", 2));
  app.ask("hide-menu");

  EXPECT_EQ(ctl("new"), "countdown S1T1") << app.log();
  ASSERT_TRUE(app.waitFor("countdown?", "visible", 5)) << app.log();
  auto countdownShown = Clock::now();
  sleepSeconds(0.3);
  EXPECT_EQ(app.ask("state?"), "idle") << "the countdown runs before the take";
  ASSERT_TRUE(app.waitFor("state?", "recording", 8)) << app.log();
  EXPECT_GT(std::chrono::duration<double>(Clock::now() - countdownShown).count(), 2.0);
  EXPECT_EQ(app.ask("countdown?"), "hidden");
  EXPECT_TRUE(app.waitFor("status?", "REC — S1T1", 2)) << app.ask("status?");
  sleepSeconds(1.5);

  press("shift+ctrl+space", "startPause");
  EXPECT_TRUE(app.waitFor("status?", "PAUSED — S1T1", 3)) << app.ask("status?");
  EXPECT_EQ(ctl("status"), "paused S1T1");
  EXPECT_EQ(ctl("start-pause"), "recording S1T1");
  // Retake means nothing while recording: the state is printed unchanged.
  EXPECT_EQ(ctl("retake"), "recording S1T1");

  press("shift+ctrl+Return", "endTake");
  ASSERT_TRUE(app.waitFor("state?", "reviewing", 10)) << app.log();
  EXPECT_EQ(ctl("status"), "reviewing S1T1");
  EXPECT_EQ(app.ask("status?"), "none");
  EXPECT_TRUE(app.waitFor("window? review", "open", 3));
  fs::path session = app.ask("session?");
  fs::path take = session / "takes" / "scene-1-take-1.mov";
  ASSERT_NO_FATAL_FAILURE(expectPlays(take));
  EXPECT_GT(vidorel::testing::movieDuration(take), 1.0);

  // Retake throws the take away and counts down to the same take again.
  EXPECT_EQ(ctl("retake"), "countdown S1T1") << app.log();
  EXPECT_FALSE(fs::exists(take));
  ASSERT_TRUE(app.waitFor("state?", "recording", 8)) << app.log();
  sleepSeconds(1);
  EXPECT_EQ(ctl("end-take"), "reviewing S1T1") << app.log();

  // Approving starts the next take's countdown; Escape cancels it.
  press("shift+ctrl+Return", "endTake");
  ASSERT_TRUE(app.waitFor("countdown?", "visible", 5)) << app.log();
  EXPECT_TRUE(app.waitFor("window? review", "closed", 2));
  sleepSeconds(0.5);
  key("Escape");
  EXPECT_TRUE(app.waitFor("countdown?", "hidden", 2));
  sleepSeconds(3.5);
  EXPECT_EQ(app.ask("state?"), "idle");
  EXPECT_FALSE(fs::exists(session / "takes" / "scene-1-take-2.mov"));
  EXPECT_TRUE(waitForManifest(session, [](const SessionManifest& m) {
    return m.scenes.size() == 1 && m.scenes[0].takes.size() == 1;
  })) << "the approved take is in the saved session";

  // The menu, as the next start of the program would show it.
  ASSERT_EQ(app.ask("show-menu"), "ok");
  sleepSeconds(0.5);
  std::string menu = app.ask("menu?");
  EXPECT_NE(menu.find("Recording: 1 scene"), std::string::npos) << menu;
  EXPECT_NE(menu.find("Start S1T2 (Scene 1 Take #2)"), std::string::npos) << menu;
  app.ask("hide-menu");
}

// The monitor chosen in Settings is the one recorded, and the countdown and
// the status panel show on it, not on the first monitor.
TEST_F(DesktopAppEndToEnd, TheCountdownAndTheStatusPanelShowOnTheRecordedMonitor) {
  vidorel::testing::TwoMonitors monitors;
  fs::create_directories(root_ / "config" / "Vidorel");
  vidorel::testing::writeFile(root_ / "config" / "Vidorel" / "defaults.json",
                              R"({"recordingScreen": "RIGHT"})");
  RunningApp app(root_);
  ASSERT_TRUE(app.waitUntilIdle()) << app.log();
  auto onTheRight = [&](const std::string& window) {
    std::optional<ScreenRect> place = waitForPart(app, "window " + window, 5);
    ASSERT_TRUE(place) << window << " is not shown\n" << app.log();
    EXPECT_GE(place->x, monitors.half) << window;
    EXPECT_LE(place->x + place->width, 2 * monitors.half) << window;
  };
  EXPECT_EQ(app.command("ctl new").output, "countdown S1T1") << app.log();
  onTheRight("Vidorel Countdown");
  ASSERT_TRUE(app.waitFor("state?", "recording", 8)) << app.log();
  onTheRight("Vidorel Status");
  sleepSeconds(0.5);
  EXPECT_EQ(app.command("ctl end-take").output, "reviewing S1T1") << app.log();
  nlohmann::json probe =
      vidorel::testing::probeMovie(fs::path(app.ask("session?")) / "takes" / "scene-1-take-1.mov");
  ASSERT_TRUE(probe.is_object());
  EXPECT_EQ(probe["streams"][0]["width"], monitors.half);
}

// Word `index` of the review window's answer ("playing AT TRIM-START TRIM-END").
std::string word(const std::string& text, int index) {
  std::istringstream words(text);
  std::string word;
  for (int i = 0; i <= index; ++i)
    words >> word;
  return word;
}
double field(const std::string& text, int index) {
  return std::atof(word(text, index).c_str());
}

TEST_F(DesktopAppEndToEnd, DrivesAWholeSessionThroughTheWindows) {
  fs::path root = root_;
  // Something to record: a picture on the desktop, black again after.
  std::system("display -size 1280x720 -window root plasma:fractal");
  struct BlackDesktopAfter {
    ~BlackDesktopAfter() { std::system("display -size 1280x720 -window root xc:black"); }
  } restore;
  // The walk above sees the countdown; here four of them would only wait.
  RunningApp app(root, {.environment = {{"VIDOREL_TEST_COUNTDOWN", "0"}}});
  ASSERT_TRUE(app.waitUntilIdle()) << app.log();
  bool hotKeys = app.ask("hot-keys?") == "x11";
  // From a started countdown: a short take ended by hot key, then review.
  auto recordTheNextTake = [&](const std::string& status) {
    ASSERT_TRUE(app.waitFor("state?", "recording", 10)) << app.log();
    EXPECT_TRUE(app.waitFor("status?", status, 2)) << app.ask("status?");
    sleepSeconds(2.5);
    if (hotKeys)
      key("shift+ctrl+Return");
    else
      ASSERT_EQ(app.ask("press endTake"), "ok");
    ASSERT_TRUE(app.waitFor("state?", "reviewing", 10)) << app.log();
    ASSERT_TRUE(app.waitFor("window? review", "open", 3));
    sleepSeconds(0.3);
  };
  auto playback = [&] { return app.ask("review?"); };

  // Scene 1, take 1, reviewed in the real player.
  ASSERT_EQ(app.ask("new-recording"), "ok");
  ASSERT_NO_FATAL_FAILURE(recordTheNextTake("REC — S1T1"));
  fs::path session = app.ask("session?");
  ASSERT_TRUE(eventually(5, [&] { return playback() != "none"; })) << app.log();
  double takeEnd = field(playback(), 3);
  EXPECT_GT(takeEnd, 1.5) << playback();

  // The end handle dragged left: the range ends earlier, shown and saved.
  std::optional<ScreenRect> endHandle = waitForPart(app, "trim-end");
  std::optional<ScreenRect> startHandle = waitForPart(app, "trim-start");
  ASSERT_TRUE(endHandle && startHandle) << app.log();
  int track = endHandle->centreX() - startHandle->centreX();
  dragWithThePointer(endHandle->centreX(), endHandle->centreY(), endHandle->centreX() - track / 4,
                     endHandle->centreY());
  double trimEnd = field(playback(), 3);
  EXPECT_LT(trimEnd, takeEnd * 0.85) << playback();
  EXPECT_GT(trimEnd, takeEnd * 0.6) << playback();
  // Space over the window toggles playback, both ways.
  std::optional<ScreenRect> review = waitForPart(app, "window Review — Scene 1");
  ASSERT_TRUE(review) << playback();
  xdotool(formatString("mousemove %d %d", review->centreX(), review->y + 60));
  for (int press = 0; press < 2; ++press) {
    std::string before = word(playback(), 0);
    key("space");
    EXPECT_TRUE(eventually(3, [&] { return word(playback(), 0) != before; })) << press + 1;
    if (word(playback(), 0) != "playing")
      continue;
    // On a busy machine sound may take a second to start; time moves with it.
    double at = field(playback(), 1);
    EXPECT_TRUE(eventually(3, [&] { return field(playback(), 1) > at + 0.2; })) << playback();
  }

  // Scene 1 take 2, then scenes 2 and 3, all from the window's buttons.
  ASSERT_TRUE(click(app, "button Approve and New Take"));
  ASSERT_NO_FATAL_FAILURE(recordTheNextTake("REC — S1T2"));
  ASSERT_TRUE(click(app, "button Approve and New Scene"));
  ASSERT_NO_FATAL_FAILURE(recordTheNextTake("REC — S2T1"));
  ASSERT_TRUE(click(app, "button Approve and New Scene"));
  ASSERT_NO_FATAL_FAILURE(recordTheNextTake("REC — S3T1"));
  ASSERT_TRUE(click(app, "button Approve"));
  ASSERT_TRUE(app.waitFor("state?", "idle", 3)) << app.log();
  EXPECT_EQ(app.ask("window? review"), "open") << "Approve keeps the window up";
  ASSERT_TRUE(waitForManifest(session, [](const SessionManifest& m) {
    return m.scenes.size() == 3 && m.scenes[0].takes.size() == 2 &&
           m.scenes[0].selectedTakeID == m.scenes[0].takes[1].id;
  })) << "three scenes, the newest take of scene 1 selected";
  std::optional<SessionManifest> approved = readManifest(session);
  ASSERT_TRUE(approved);
  EXPECT_NEAR(approved->scenes[0].takes[0].trimEnd.value_or(0), trimEnd, 0.01)
      << "the dragged end is saved with the take";

  // Select: scene 1's first (trimmed) take again, by its circle.
  ASSERT_TRUE(click(app, "circle 1 1"));
  EXPECT_TRUE(waitForManifest(session, [](const SessionManifest& m) {
    return m.scenes[0].selectedTakeID == m.scenes[0].takes[0].id;
  })) << "the circle selects the take";

  // Reorder: the third scene's header dropped on the first's.
  std::vector<vidorel::Uuid> order;
  for (const auto& scene : approved->scenes)
    order.push_back(scene.id);
  std::optional<ScreenRect> third = waitForPart(app, "scene 3");
  std::optional<ScreenRect> opening = waitForPart(app, "scene 1");
  ASSERT_TRUE(third && opening);
  dragWithThePointer(third->x + 60, third->centreY(), opening->x + 60, opening->centreY());
  EXPECT_TRUE(waitForManifest(session, [&](const SessionManifest& m) {
    return m.scenes.size() == 3 && m.scenes[0].id == order[2] && m.scenes[1].id == order[0] &&
           m.scenes[2].id == order[1];
  })) << "the dragged scene goes first";

  // Rename: a double click on the name, typing, Return.
  ASSERT_TRUE(click(app, "scene-name 1", 2));
  sleepSeconds(0.3);
  key("ctrl+a");
  xdotool("type --delay 30 'Closing words'");
  key("Return");
  EXPECT_TRUE(waitForManifest(session, [&](const SessionManifest& m) {
    return m.scenes[0].id == order[2] && m.scenes[0].name == "Closing words";
  })) << "the typed name is saved";

  // Saved as a package (export wants one), through the menu and the panel.
  ASSERT_TRUE(chooseFromTheMenu(app, "Save Recording As…")) << app.ask("menu?");
  typeIntoThePanel(root / "talk");
  EXPECT_TRUE(app.waitFor("session?", (root / "talk.vidorel").string(), 5)) << app.log();
  session = app.ask("session?");

  // Export: the summary from the tray menu, then the save panel.
  ASSERT_TRUE(chooseFromTheMenu(app, "Export Final Video…")) << app.ask("menu?");
  ASSERT_TRUE(app.waitFor("window? export", "open", 3));
  ASSERT_TRUE(click(app, "button Export Final Video (Ctrl+Shift+E)"));
  fs::path movie = root / "final.mov";
  typeIntoThePanel(movie);
  ASSERT_TRUE(eventually(
      30, [&] { return fs::exists(movie); }, 100))
      << app.log();

  // The movie holds the selected takes, each cut to its range: the video
  // copied, the sound, then the chapters' text track.
  std::optional<SessionManifest> last = readManifest(session);
  ASSERT_TRUE(last);
  double expected = 0;
  for (const auto& scene : last->scenes)
    for (const auto& take : scene.takes)
      if (scene.selectedTakeID == take.id)
        expected += take.trimEnd.value_or(take.duration) - take.trimStart.value_or(0);
  EXPECT_NEAR(vidorel::testing::movieDuration(movie), expected, 0.25);
  ASSERT_NO_FATAL_FAILURE(expectPlays(movie, 3));
  EXPECT_EQ(vidorel::testing::probeMovie(movie)["streams"][2]["codec_type"], "data");
}

} // namespace
