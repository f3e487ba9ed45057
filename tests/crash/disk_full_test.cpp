// A disk that fills during a take, without mounting one: the app gets an
// RLIMIT_FSIZE (and ignores SIGXFSZ), so every write past the limit fails
// with EFBIG as on a full disk. What was written before must be kept and
// play, and the take must end at once with the user told. (The take
// writer's own handling is checked in its test.)

#include "crash/crash_checks.h"
#include "support/running_app.h"

#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

namespace fs = std::filesystem;
using namespace vidorel::e2e;
using vidorel::crash::MovieReading;
using vidorel::crash::readMovie;

// Microphone sound alone fills this in a few seconds on a still screen.
constexpr rlim_t kFileSizeLimit = 160 * 1024;

class DiskFull : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under scripts/desktop-env";
    root_ = vidorel::testing::makeTemporaryFolder("disk-full");
  }
  void TearDown() override {
    if (::testing::Test::HasFailure()) {
      std::printf("kept: %s\n", root_.c_str());
      return;
    }
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  fs::path root_;
};

TEST_F(DiskFull, TheAppStopsTheTakeAndSaysSo) {
  fs::path session;
  {
    RunningApp app(root_, AppOptions{"app.log", kFileSizeLimit, {{"VIDOREL_TEST_COUNTDOWN", "0"}}});
    ASSERT_TRUE(app.waitUntilAnswering()) << app.log();
    ASSERT_TRUE(app.waitFor("state?", "idle", 15)) << app.log();
    ASSERT_EQ(app.ask("new-recording"), "ok");
    ASSERT_TRUE(app.waitFor("state?", "recording", 15)) << app.log();
    session = app.ask("session?");
    auto recording = Clock::now();
    // The alert comes up as soon as the writer fails.
    std::string text = "none";
    while (text == "none" && Clock::now() - recording < std::chrono::seconds(60)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      text = app.ask("alert?");
    }
    double after = std::chrono::duration<double>(Clock::now() - recording).count();
    ASSERT_NE(text, "none") << "no alert\n" << app.log();
    std::printf("alert after %.1f s of recording: %s\n", after, text.c_str());
    EXPECT_TRUE(text.starts_with("Recording stopped")) << text;
    EXPECT_NE(app.ask("state?"), "recording");
    // Dismissed, the take is offered for review like any other.
    key("Return");
    EXPECT_TRUE(app.waitFor("state?", "reviewing", 10)) << app.log();
  }
  fs::path take = session / "takes" / "scene-1-take-1.mov";
  ASSERT_TRUE(fs::exists(take));
  MovieReading reading = readMovie(take);
  EXPECT_TRUE(reading.plays()) << reading.detail;
  EXPECT_GT(reading.duration, 1.0) << reading.detail;
}

} // namespace
