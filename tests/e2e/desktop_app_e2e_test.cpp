// The whole app under the test desktop: started with private XDG folders,
// driven by real key presses (xdotool) and by the test commands of its
// control socket, checked through that socket, ffprobe and screenshots.

#include "base/format.h"
#include "model/manifest.h"
#include "support/movie_tools.h"
#include "support/running_app.h"

#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace vidorel::e2e;
using vidorel::formatString;
using vidorel::SessionManifest;

void screenshot(const std::string& name) {
  fs::create_directories(VIDOREL_ARTIFACTS_DIR);
  std::string file = (fs::path(VIDOREL_ARTIFACTS_DIR) / name).string();
  std::system(("import -window root '" + file + "' 2>/dev/null").c_str());
  std::printf("artefact: %s\n", file.c_str());
}

TEST(DesktopAppEndToEnd, RecordsATakeFromHotKeysAndGoesOnToTheNextCountdown) {
  ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under scripts/desktop-env";
  fs::path root = vidorel::testing::makeTemporaryFolder("e2e");
  {
    RunningApp app(root);
    ASSERT_TRUE(app.waitUntilAnswering()) << app.log();
    ASSERT_TRUE(app.waitFor("state?", "idle", 15)) << app.log();
    std::printf("hot keys: %s\n", app.ask("hot-keys?").c_str());
    bool hotKeys = app.ask("hot-keys?") == "x11";
    // A hot key press, for real where the app grabs keys, else through the
    // coordinator's handler over the control socket.
    auto press = [&](const std::string& keys, const std::string& action) {
      if (hotKeys)
        key(keys);
      else
        ASSERT_EQ(app.ask("press " + action), "ok");
    };

    // A second start hands over to the running one and exits at once.
    {
      std::string second = "env XDG_RUNTIME_DIR='" + (root / "runtime").string() + "' " +
                           VIDOREL_BINARY + " >/dev/null 2>&1; echo $?";
      EXPECT_EQ(runCommand(second), "0");
      EXPECT_TRUE(app.waitFor("state?", "idle", 2));
      app.ask("hide-menu");
    }

    // Without a session the end-take key does nothing.
    press("shift+ctrl+Return", "endTake");
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(app.ask("state?"), "idle");
    EXPECT_EQ(app.ask("session?"), "none");
    EXPECT_EQ(app.ask("countdown?"), "hidden");

    ASSERT_EQ(app.ask("new-recording"), "ok");
    ASSERT_TRUE(app.waitFor("countdown?", "visible", 5)) << app.log();
    auto countdownShown = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    screenshot("e2e-countdown.png");
    EXPECT_EQ(app.ask("state?"), "idle") << "the countdown runs before the take";
    ASSERT_TRUE(app.waitFor("state?", "recording", 8)) << app.log();
    double counted = std::chrono::duration<double>(Clock::now() - countdownShown).count();
    std::printf("countdown on screen for %.2f s\n", counted);
    EXPECT_GT(counted, 2.0);
    EXPECT_EQ(app.ask("countdown?"), "hidden");
    EXPECT_TRUE(app.waitFor("status?", "REC — S1T1", 2)) << app.ask("status?");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    screenshot("e2e-status-panel.png");

    press("shift+ctrl+space", "startPause");
    EXPECT_TRUE(app.waitFor("status?", "PAUSED — S1T1", 3)) << app.ask("status?");
    EXPECT_EQ(app.ask("state?"), "paused");

    press("shift+ctrl+Return", "endTake");
    ASSERT_TRUE(app.waitFor("state?", "reviewing", 10)) << app.log();
    EXPECT_EQ(app.ask("status?"), "none");
    EXPECT_TRUE(app.waitFor("window? review", "open", 3));
    fs::path session = app.ask("session?");
    fs::path take = session / "takes" / "scene-1-take-1.mov";
    ASSERT_TRUE(fs::exists(take)) << take;
    nlohmann::json probe = vidorel::testing::probeMovie(take);
    ASSERT_TRUE(probe.is_object()) << take;
    ASSERT_EQ(probe["streams"].size(), 2u) << probe.dump();
    EXPECT_EQ(probe["streams"][0]["codec_name"], "h264");
    EXPECT_EQ(probe["streams"][1]["codec_name"], "aac");
    EXPECT_GT(vidorel::testing::movieDuration(take), 1.0);

    // Approving starts the next take's countdown; Escape cancels it.
    press("shift+ctrl+Return", "endTake");
    ASSERT_TRUE(app.waitFor("countdown?", "visible", 5)) << app.log();
    EXPECT_TRUE(app.waitFor("window? review", "closed", 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    key("Escape");
    EXPECT_TRUE(app.waitFor("countdown?", "hidden", 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    EXPECT_EQ(app.ask("state?"), "idle");
    EXPECT_FALSE(fs::exists(session / "takes" / "scene-1-take-2.mov"));
    EXPECT_NE(
        runCommand("cat '" + (session / "manifest.json").string() + "'").find("scene-1-take-1.mov"),
        std::string::npos)
        << "the approved take is in the saved session";

    // The menu, as the next start of the program would show it.
    ASSERT_EQ(app.ask("show-menu"), "ok");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    screenshot("e2e-menu.png");
    std::string menu = app.ask("menu?");
    EXPECT_NE(menu.find("Recording: 1 scene"), std::string::npos) << menu;
    EXPECT_NE(menu.find("Start S1T2 (Scene 1 Take #2)"), std::string::npos) << menu;
    app.ask("hide-menu");
  }
  fs::remove_all(root);
}

} // namespace

namespace {

// Where the button with this text is, failing the test when it is not shown.
void clickButton(const RunningApp& app, const std::string& text) {
  std::optional<ScreenRect> button = waitForPart(app, "button " + text, 3);
  ASSERT_TRUE(button) << "no button \"" << text << "\" on screen";
  clickAt(button->centreX(), button->centreY());
}

// From a countdown that has started: waits for the take, records for a
// moment and ends it with the hot key, leaving the review window up.
void recordTheNextTake(const RunningApp& app, const std::string& status, bool hotKeys) {
  ASSERT_TRUE(app.waitFor("state?", "recording", 10)) << app.log();
  EXPECT_TRUE(app.waitFor("status?", status, 2)) << app.ask("status?");
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  if (hotKeys)
    key("shift+ctrl+Return");
  else
    ASSERT_EQ(app.ask("press endTake"), "ok");
  ASSERT_TRUE(app.waitFor("state?", "reviewing", 10)) << app.log();
  ASSERT_TRUE(app.waitFor("window? review", "open", 3));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

std::string firstWord(const std::string& text) {
  return text.substr(0, text.find(' '));
}

double field(const std::string& text, int index) {
  std::istringstream words(text);
  std::string word;
  for (int i = 0; i <= index; ++i)
    words >> word;
  return std::atof(word.c_str());
}

TEST(DesktopAppEndToEnd, DrivesAWholeSessionThroughTheWindows) {
  ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under scripts/desktop-env";
  fs::path root = vidorel::testing::makeTemporaryFolder("e2e");
  {
    // Something to record: a picture on the desktop, black again after.
    std::system("display -size 1280x720 -window root plasma:fractal");
    struct BlackDesktopAfter {
      ~BlackDesktopAfter() { std::system("display -size 1280x720 -window root xc:black"); }
    } restore;
    // The first walk sees the countdown; here four of them would only wait.
    RunningApp app(root, AppOptions{"app.log", std::nullopt, {{"VIDOREL_TEST_COUNTDOWN", "0"}}});
    ASSERT_TRUE(app.waitUntilAnswering()) << app.log();
    ASSERT_TRUE(app.waitFor("state?", "idle", 15)) << app.log();
    bool hotKeys = app.ask("hot-keys?") == "x11";

    // Scene 1, take 1, reviewed in the real player.
    ASSERT_EQ(app.ask("new-recording"), "ok");
    ASSERT_NO_FATAL_FAILURE(recordTheNextTake(app, "REC — S1T1", hotKeys));
    fs::path session = app.ask("session?");
    ASSERT_TRUE(app.waitFor("window? review", "open", 3));
    auto playback = [&] { return app.ask("review?"); };
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (playback() == "none" && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::string first = playback();
    ASSERT_NE(first, "none") << app.log();
    double takeEnd = field(first, 3);
    EXPECT_GT(takeEnd, 1.5) << first;

    // The end handle dragged to the left with the pointer: the range ends
    // earlier, in the window and in the saved session.
    std::optional<ScreenRect> endHandle = waitForPart(app, "trim-end", 3);
    ASSERT_TRUE(endHandle) << app.log();
    std::optional<ScreenRect> startHandle = where(app, "trim-start");
    ASSERT_TRUE(startHandle);
    int track = endHandle->centreX() - startHandle->centreX();
    dragWithThePointer(endHandle->centreX(), endHandle->centreY(), endHandle->centreX() - track / 4,
                       endHandle->centreY());
    std::string trimmed = playback();
    double trimEnd = field(trimmed, 3);
    EXPECT_LT(trimEnd, takeEnd * 0.85) << trimmed;
    EXPECT_GT(trimEnd, takeEnd * 0.6) << trimmed;
    // Space over the window toggles playback, both ways.
    std::optional<ScreenRect> review = where(app, "window " + std::string("Review — Scene 1"));
    ASSERT_TRUE(review) << app.ask("review?");
    xdotool(formatString("mousemove %d %d", review->x + review->width / 2, review->y + 60));
    for (int press = 0; press < 2; ++press) {
      std::string before = firstWord(playback());
      key("space");
      auto until = Clock::now() + std::chrono::seconds(3);
      while (firstWord(playback()) == before && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      EXPECT_NE(firstWord(playback()), before) << "Space press " << press + 1;
      if (firstWord(playback()) != "playing")
        continue;
      // The sound output may take most of a second to start on a busy
      // machine; the time then moves with it.
      double at = field(playback(), 1);
      auto moving = Clock::now() + std::chrono::seconds(3);
      while (field(playback(), 1) <= at + 0.2 && Clock::now() < moving)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      EXPECT_GT(field(playback(), 1), at + 0.2) << "the movie plays: " << playback();
    }
    screenshot("e2e-review-trimmed.png");

    // Scene 1 take 2, then scenes 2 and 3, all from the window's buttons.
    clickButton(app, "Approve and New Take");
    ASSERT_NO_FATAL_FAILURE(recordTheNextTake(app, "REC — S1T2", hotKeys));
    clickButton(app, "Approve and New Scene");
    ASSERT_NO_FATAL_FAILURE(recordTheNextTake(app, "REC — S2T1", hotKeys));
    clickButton(app, "Approve and New Scene");
    ASSERT_NO_FATAL_FAILURE(recordTheNextTake(app, "REC — S3T1", hotKeys));
    clickButton(app, "Approve");
    ASSERT_TRUE(app.waitFor("state?", "idle", 3)) << app.log();
    EXPECT_EQ(app.ask("window? review"), "open") << "Approve keeps the window up";
    ASSERT_TRUE(waitForManifest(
        session,
        [](const SessionManifest& m) {
          return m.scenes.size() == 3 && m.scenes[0].takes.size() == 2 &&
                 m.scenes[0].selectedTakeID == m.scenes[0].takes[1].id;
        },
        3))
        << "three scenes, the newest take of scene 1 selected";
    std::optional<SessionManifest> approved = readManifest(session);
    ASSERT_TRUE(approved);
    EXPECT_NEAR(approved->scenes[0].takes[0].trimEnd.value_or(0), trimEnd, 0.01)
        << "the dragged end is saved with the take";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    screenshot("e2e-review-three-scenes.png");

    // Select: scene 1's first (trimmed) take again, by its circle.
    std::optional<ScreenRect> circle = waitForPart(app, "circle 1 1", 3);
    ASSERT_TRUE(circle);
    clickAt(circle->centreX(), circle->centreY());
    std::optional<SessionManifest> before = readManifest(session);
    ASSERT_TRUE(before);
    EXPECT_TRUE(waitForManifest(
        session,
        [](const SessionManifest& m) {
          return m.scenes[0].selectedTakeID == m.scenes[0].takes[0].id;
        },
        3))
        << "the circle selects the take";

    // Reorder: the third scene's header dropped on the first's.
    std::vector<vidorel::Uuid> order;
    for (const auto& scene : before->scenes)
      order.push_back(scene.id);
    std::optional<ScreenRect> third = where(app, "scene 3");
    std::optional<ScreenRect> opening = where(app, "scene 1");
    ASSERT_TRUE(third && opening);
    dragWithThePointer(third->x + 60, third->centreY(), opening->x + 60, opening->centreY());
    EXPECT_TRUE(waitForManifest(
        session,
        [&](const SessionManifest& m) {
          return m.scenes.size() == 3 && m.scenes[0].id == order[2] && m.scenes[1].id == order[0] &&
                 m.scenes[2].id == order[1];
        },
        3))
        << "the dragged scene goes first";

    // Rename: a double click on the name, typing, Return.
    std::optional<ScreenRect> name = waitForPart(app, "scene-name 1", 3);
    ASSERT_TRUE(name);
    clickAt(name->centreX(), name->centreY(), 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    xdotool("key --clearmodifiers ctrl+a");
    xdotool("type --delay 30 'Closing words'");
    key("Return");
    EXPECT_TRUE(waitForManifest(
        session,
        [&](const SessionManifest& m) {
          return m.scenes[0].id == order[2] && m.scenes[0].name == "Closing words";
        },
        3))
        << "the typed name is saved";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    screenshot("e2e-review-edited.png");

    // Saved as a package (export wants one), through the menu and the
    // save panel.
    auto chooseFromTheMenu = [&](const std::string& entry) {
      ASSERT_EQ(app.ask("show-menu"), "ok");
      std::optional<ScreenRect> place = waitForPart(app, "menu " + entry, 3);
      ASSERT_TRUE(place) << app.ask("menu?");
      clickAt(place->centreX(), place->centreY());
    };
    auto typeIntoThePanel = [&](const fs::path& file) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1200));
      xdotool("key --clearmodifiers ctrl+a");
      xdotool("type --delay 20 '" + file.string() + "'");
      key("Return");
    };
    ASSERT_NO_FATAL_FAILURE(chooseFromTheMenu("Save Recording As…"));
    typeIntoThePanel(root / "talk");
    EXPECT_TRUE(app.waitFor("session?", (root / "talk.vidorel").string(), 5)) << app.log();
    session = app.ask("session?");

    // Export: the summary from the tray menu, then the save panel.
    ASSERT_NO_FATAL_FAILURE(chooseFromTheMenu("Export Final Video…"));
    ASSERT_TRUE(app.waitFor("window? export", "open", 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    screenshot("e2e-export-summary.png");
    clickButton(app, "Export Final Video (Ctrl+Shift+E)");
    fs::path movie = root / "final.mov";
    typeIntoThePanel(movie);
    auto exportDeadline = Clock::now() + std::chrono::seconds(30);
    while (!fs::exists(movie) && Clock::now() < exportDeadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(fs::exists(movie)) << app.log();

    // Every take carries its sound to (almost) its end: the microphone's
    // stamps are not pulled early by what the server reports as latency.
    for (const auto& file : fs::directory_iterator(session / "takes")) {
      nlohmann::json probe = vidorel::testing::probeMovie(file.path());
      ASSERT_EQ(probe["streams"].size(), 2u) << file.path();
      double video = std::stod(probe["streams"][0]["duration"].get<std::string>());
      double audio = std::stod(probe["streams"][1]["duration"].get<std::string>());
      std::printf("%s: video %.3f s, audio %.3f s\n", file.path().filename().c_str(), video, audio);
      EXPECT_GT(audio, video - 0.4) << file.path();
    }

    // The movie holds the selected takes, each cut to its range.
    std::optional<SessionManifest> last = readManifest(session);
    ASSERT_TRUE(last);
    double expected = 0;
    for (const auto& scene : last->scenes) {
      for (const auto& take : scene.takes) {
        if (scene.selectedTakeID == take.id)
          expected += take.trimEnd.value_or(take.duration) - take.trimStart.value_or(0);
      }
    }
    EXPECT_NEAR(vidorel::testing::movieDuration(movie), expected, 0.25);
    // The video copied and the sound, then the chapters' text track.
    nlohmann::json streams = vidorel::testing::probeMovie(movie)["streams"];
    ASSERT_EQ(streams.size(), 3u);
    EXPECT_EQ(streams[0]["codec_name"], "h264") << "copied, not re-encoded";
    EXPECT_EQ(streams[1]["codec_name"], "aac");
    EXPECT_EQ(streams[2]["codec_type"], "data");
    // Frame times as stored: a still screen gives a few frames a take, which
    // a constant output rate would fold together.
    std::string decoded = runCommand("ffmpeg -v error -i '" + movie.string() +
                                     "' -fps_mode passthrough -enc_time_base -1 -f null - 2>&1");
    EXPECT_EQ(decoded, "") << "the movie decodes without errors";
  }
  // A failed walk keeps its session and movie to look at.
  if (::testing::Test::HasFailure())
    std::printf("kept: %s\n", root.c_str());
  else
    fs::remove_all(root);
}

} // namespace
