// Exports played in a <video> element of headless Chromium, a reader of its
// own beside FFmpeg and GStreamer: a movie must play to its end without an
// error, its duration the sum of the trim ranges.

#include "export/ffmpeg_session_exporter.h"
#include "fakes/session_builder.h"
#include "support/movie_tools.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace vidorel {
namespace {
namespace fs = std::filesystem;
using testing::takeOf;

std::string quoted(const fs::path& path) {
  return "'" + path.string() + "'";
}

// What the page saw of the movie; the test is skipped where Chromium plays
// no H.264.
struct Played {
  nlohmann::json result;
  bool playsH264 = false;
};

void playInChromium(const fs::path& movie, const fs::path& folder, Played& played) {
  fs::path errors = folder / "chromium.txt";
  testing::CommandResult run =
      testing::runCommand(std::string("/usr/bin/python3 ") + VIDOREL_CHROMIUM_PLAYER + " " +
                          quoted(movie) + " 2>" + quoted(errors));
  ASSERT_EQ(run.status, 0) << "Chromium could not be run: " << testing::readFile(errors);
  played.result = nlohmann::json::parse(run.output, nullptr, false);
  ASSERT_TRUE(played.result.is_object()) << run.output;
  played.playsH264 = played.result.value("h264", false);
}

// Played to its end without an error, every frame FFmpeg shows decoded.
void checkPlayedToTheEnd(const nlohmann::json& result, double duration, std::size_t frames) {
  constexpr double kFrame = 1.0 / 24;
  ASSERT_FALSE(result.contains("error")) << result.dump();
  EXPECT_TRUE(result.value("ended", false)) << result.dump();
  double reported = result.value("duration", 0.0);
  EXPECT_NEAR(reported, duration, kFrame) << result.dump();
  EXPECT_NEAR(result.value("currentTime", 0.0), reported, kFrame) << result.dump();
  EXPECT_EQ(result.value("frames", std::size_t{0}), frames) << result.dump();
}

constexpr const char* kNoH264 = "this Chromium plays no H.264 (built without its patented codecs)";

// Joins a.mov (0.3 to 2.0 s) and b.mov (0.55 to 1.8 s) of the takes folder
// and plays the movie in Chromium to its end; removes root afterwards.
void exportAndPlayToTheEnd(const fs::path& root, const fs::path& takes) {
  fs::path movie = root / "movie.mov";
  std::optional<ExportFailure> failure =
      exportMovie({takeOf("a.mov", 3, 0.3, 2.0), takeOf("b.mov", 3, 0.55, 1.8)}, takes, movie,
                  nullptr, ExportOptions{{"Intro", "Scene 2"}, true});
  ASSERT_FALSE(failure) << failure->fullDescription();
  std::size_t shown = testing::frameHashes(movie).size();

  Played played;
  playInChromium(movie, root, played);
  fs::remove_all(root);
  if (!played.playsH264)
    GTEST_SKIP() << kNoH264;
  checkPlayedToTheEnd(played.result, (2.0 - 0.3) + (1.8 - 0.55), shown);
}

TEST(BrowserPlaybackTest, ChromiumPlaysAnExportOfOwnTakesToItsEnd) {
  fs::path root = testing::makeTemporaryFolder("chromium-play");
  fs::path takes = root / "session" / "takes";
  fs::create_directories(takes);
  // Two takes of the take writer (a new picture every 1/24 s, a key frame
  // every second), both cut between key frames: the movie joins re-encoded
  // and copied frames of each.
  std::vector<double> frames;
  for (int i = 0; i < 72; ++i)
    frames.push_back(i / 24.0);
  testing::makeOwnTake(takes / "a.mov", 320, 240, frames, 3.0, 7);
  testing::makeOwnTake(takes / "b.mov", 320, 240, frames, 3.0, 11);
  exportAndPlayToTheEnd(root, takes);
}

TEST(BrowserPlaybackTest, ChromiumPlaysAnExportOfTakesWithOtherParameterSets) {
  fs::path root = testing::makeTemporaryFolder("chromium-play");
  fs::path takes = root / "session" / "takes";
  fs::create_directories(takes);
  // Takes of another encoder (CABAC, B-frames): their samples and ours have
  // a description each, which Chromium does not switch between by itself.
  testing::TakeSpec first;
  first.seconds = 3;
  first.keyInterval = 24;
  testing::makeTake(takes / "a.mov", first);
  testing::TakeSpec second = first;
  second.pattern = "testsrc2";
  second.toneHz = 3;
  testing::makeTake(takes / "b.mov", second);
  exportAndPlayToTheEnd(root, takes);
}

} // namespace
} // namespace vidorel
