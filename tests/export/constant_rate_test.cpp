// Takes and exports at a constant 60 frames a second, as the next tool
// reads them: ffprobe, GStreamer, MLT (melt) and the ffmpeg command.

#include "export/ffmpeg_session_exporter.h"
#include "fakes/session_builder.h"
#include "support/movie_tools.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace vidorel {
namespace {
namespace fs = std::filesystem;
using testing::shellQuoted;
using testing::ShownMovie;
using testing::takeOf;

struct VideoRate {
  std::string rate;    // r_frame_rate
  std::string average; // avg_frame_rate
  long frames = 0;
  std::set<std::string> durations; // of every packet, seconds
};

VideoRate probeRate(const fs::path& file) {
  VideoRate found;
  std::string stream =
      testing::commandOutput("ffprobe -v error -select_streams v:0 -count_packets -show_entries "
                             "stream=r_frame_rate,avg_frame_rate,nb_read_packets -of csv=p=0 " +
                             shellQuoted(file));
  std::stringstream fields(stream);
  std::getline(fields, found.rate, ',');
  std::getline(fields, found.average, ',');
  fields >> found.frames;
  std::string durations = testing::commandOutput(
      "ffprobe -v error -select_streams v:0 -show_entries packet=duration_time -of csv=p=0 " +
      shellQuoted(file));
  std::stringstream lines(durations);
  for (std::string line; std::getline(lines, line);)
    found.durations.insert(line);
  return found;
}

// Entries of the video track's time-to-sample table (the first stts box).
long timeToSampleEntries(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t at = bytes.find("stts");
  if (at == std::string::npos)
    return -1;
  const auto* count = reinterpret_cast<const unsigned char*>(bytes.data() + at + 8);
  return (count[0] << 24) | (count[1] << 16) | (count[2] << 8) | count[3];
}

void expectConstantRate(const fs::path& file, long frames) {
  VideoRate rate = probeRate(file);
  EXPECT_EQ(rate.rate, "60/1") << file;
  EXPECT_EQ(rate.average, "60/1") << file;
  EXPECT_EQ(rate.frames, frames) << file;
  EXPECT_EQ(rate.durations, std::set<std::string>{"0.016667"}) << file;
  EXPECT_EQ(timeToSampleEntries(file), 1) << file;
}

// Frames at which the picture differs from the frame before.
std::vector<size_t> changes(const ShownMovie& shown) {
  std::vector<size_t> at;
  for (size_t i = 1; i < shown.frames.size(); ++i)
    if (shown.frames[i] != shown.frames[i - 1])
      at.push_back(i);
  return at;
}

class ConstantRateTest : public ::testing::Test {
protected:
  testing::TemporaryFolder temporary_{"constant-rate"};
  const fs::path& folder_ = temporary_.path();
};

TEST_F(ConstantRateTest, TakesHoldAFramePerTickWithRepeatsShownAsThePictureBefore) {
  fs::path take = folder_ / "take.mov";
  // 0.32 s rounds to the tick 0.31 s is on, and goes on the next one, and
  // so on; 0.34 s would land two ticks late and waits for the next free one.
  testing::makeOwnTake(take, 320, 240, {0, 0.3, 0.31, 0.32, 0.33, 0.34, 1.5}, 3.0, 1);
  expectConstantRate(take, 180);
  ShownMovie ffmpeg = testing::showWithFfmpeg(take);
  ShownMovie gstreamer = testing::showWithGstreamer(take);
  ASSERT_EQ(ffmpeg.frames.size(), 180u);
  EXPECT_TRUE(gstreamer.frames == ffmpeg.frames);
  EXPECT_EQ(changes(ffmpeg), (std::vector<size_t>{18, 19, 20, 21, 22, 90}));
  for (size_t i = 0; i < ffmpeg.times.size(); ++i)
    EXPECT_NEAR(ffmpeg.times[i], i / 60.0, 1e-3);
}

TEST_F(ConstantRateTest, ExportsOfNewAndEarlierTakesAreOneRunOfSixtiethsForEveryReader) {
  fs::path takesFolder = folder_ / "session" / "takes";
  fs::create_directories(takesFolder);
  testing::makeOwnTake(takesFolder / "new.mov", 320, 240, {0, 0.3, 1.2, 2.2}, 3.0, 1);
  // Written as earlier versions did: frames only at the moments of change.
  testing::makeOwnTake(takesFolder / "old.mov", 320, 240, {0, 0.25, 0.77, 1.9}, 3.0, 2, true,
                       false);
  ASSERT_NE(probeRate(takesFolder / "old.mov").average, "60/1");
  // Trims off the frame boundaries: 16/60 to 151/60 s, 6/60 to 174/60 s.
  std::vector<Take> takes = {takeOf("new.mov", 4, 0.26, 2.51), takeOf("old.mov", 4, 0.1, 2.9)};
  fs::path movie = folder_ / "movie.mov";
  std::optional<ExportFailure> failure = exportMovie(takes, takesFolder, movie);
  ASSERT_FALSE(failure) << failure->fullDescription();
  constexpr long kFrames = 135 + 168;
  expectConstantRate(movie, kFrames);
  ShownMovie ffmpeg = testing::showWithFfmpeg(movie);
  EXPECT_EQ(testing::showWithGstreamer(movie).frames.size(), ffmpeg.frames.size());
  // The earlier take's pictures change where it changed: 0.25, 0.77 and 1.9
  // s on their nearest ticks within the segment.
  std::vector<size_t> changed = changes(ffmpeg);
  for (size_t tick : {15u, 46u, 114u})
    EXPECT_TRUE(std::count(changed.begin(), changed.end(), 135 + tick - 6)) << tick;

  testing::CommandResult melt =
      testing::runCommand("melt " + shellQuoted(movie) + " -consumer xml 2>/dev/null");
  ASSERT_EQ(melt.status, 0);
  const std::string& xml = melt.output;
  std::smatch match;
  ASSERT_TRUE(std::regex_search(
      xml, match, std::regex(R"re(frame_rate_num="(\d+)" frame_rate_den="(\d+)")re")));
  EXPECT_EQ(match[1].str() + "/" + match[2].str(), "60/1");
  ASSERT_TRUE(std::regex_search(xml, match, std::regex(R"re(name="length">(\d+)<)re")));
  EXPECT_EQ(std::stol(match[1]), kFrames);

  fs::path copy = folder_ / "out.mp4";
  ASSERT_EQ(testing::runCommand("ffmpeg -nostdin -v error -i " + shellQuoted(movie) + " " +
                                shellQuoted(copy))
                .status,
            0);
  EXPECT_EQ(probeRate(copy).frames, kFrames);
}

} // namespace
} // namespace vidorel
