// An export played in a <video> element of headless Chromium, a reader of
// its own beside FFmpeg and GStreamer: the movie must play to its end
// without an error, its duration the sum of the trim ranges.

#include "export/ffmpeg_session_exporter.h"
#include "export/movie_tools.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace vidorel {
namespace {
namespace fs = std::filesystem;

std::string quoted(const fs::path& path) {
  return "'" + path.string() + "'";
}

std::string contentsOf(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

Take takeOf(const std::string& filename, double trimStart, double trimEnd) {
  Take take = Take::make(Uuid::random(), filename, 3, Timestamp{});
  take.trimStart = trimStart;
  take.trimEnd = trimEnd;
  return take;
}

TEST(BrowserPlaybackTest, ChromiumPlaysAnExportToItsEnd) {
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
  fs::path movie = root / "movie.mov";
  std::optional<ExportFailure> failure =
      exportMovie({takeOf("a.mov", 0.3, 2.0), takeOf("b.mov", 0.55, 1.8)}, takes, movie);
  ASSERT_FALSE(failure) << failure->fullDescription();
  constexpr double kDuration = (2.0 - 0.3) + (1.8 - 0.55);
  constexpr double kFrame = 1.0 / 24;
  std::size_t shownFrames = testing::frameHashes(movie).size();

  fs::path errors = root / "chromium.txt";
  testing::CommandResult played =
      testing::runCommand(std::string("/usr/bin/python3 ") + VIDOREL_CHROMIUM_PLAYER + " " +
                          quoted(movie) + " 2>" + quoted(errors));
  ASSERT_EQ(played.status, 0) << "Chromium could not be run: " << contentsOf(errors);
  nlohmann::json result = nlohmann::json::parse(played.output, nullptr, false);
  ASSERT_TRUE(result.is_object()) << played.output;
  fs::remove_all(root);
  if (!result.value("h264", false))
    GTEST_SKIP() << "this Chromium plays no H.264 (built without its patented codecs)";

  ASSERT_FALSE(result.contains("error")) << result.dump();
  EXPECT_TRUE(result.value("ended", false)) << result.dump();
  double duration = result.value("duration", 0.0);
  EXPECT_NEAR(duration, kDuration, kFrame) << result.dump();
  EXPECT_NEAR(result.value("currentTime", 0.0), duration, kFrame) << result.dump();
  // Every frame was decoded, as many as FFmpeg shows.
  EXPECT_EQ(result.value("frames", 0), shownFrames) << result.dump();
}

} // namespace
} // namespace vidorel
