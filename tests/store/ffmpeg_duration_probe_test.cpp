#include "store/duration_probe.h"
#include "support/movie_tools.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

namespace vidorel {
namespace {
namespace fs = std::filesystem;
using testing::TemporaryFolder;

// A take written in fragments and cut off by a crash has no index at its
// end; its length is what the fragments written before the cut hold.
TEST(FfmpegDurationProbe, ReadsAFragmentedMovieWholeAndCutShort) {
  TemporaryFolder temp("probe-fragments");
  fs::path whole = temp.path() / "whole.mov";
  std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc=d=6:s=160x120:r=30 "
                        "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -movflags "
                        "frag_keyframe+empty_moov+default_base_moof -frag_duration 1000000 '" +
                        whole.string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::string bytes = testing::readFile(whole);
  fs::path cut = temp.path() / "cut.mov";
  testing::writeFile(cut, bytes.substr(0, bytes.size() * 2 / 3));
  FfmpegDurationProbe probe;
  std::optional<double> wholeDuration = probe.duration(whole);
  std::optional<double> cutDuration = probe.duration(cut);
  ASSERT_TRUE(wholeDuration);
  ASSERT_TRUE(cutDuration);
  EXPECT_NEAR(*wholeDuration, 6.0, 0.1);
  EXPECT_NEAR(*cutDuration, testing::movieDuration(cut), 0.001);
  EXPECT_GT(*cutDuration, 1.0);
  EXPECT_LT(*cutDuration, *wholeDuration);
}

// Only regular files are opened (libavformat would wait on a pipe for ever;
// in a child, a regression fails instead of hanging); the reason is export's.
TEST(FfmpegDurationProbe, ReadsAMovieThroughALinkAndRefusesWhatIsNoMovieAtOnce) {
  TemporaryFolder temp("probe-special");
  fs::path pipe = temp.path() / "scene-1-take-1.mov";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
  fs::create_directories(temp.path() / "folder.mov");
  fs::path movie = temp.path() / "movie.mov";
  testing::makeTake(movie, {.seconds = 1, .width = 160, .height = 120, .rate = 30});
  fs::create_symlink(movie, temp.path() / "link.mov");
  testing::writeFile(temp.path() / "cut.mov", testing::readFile(movie).substr(0, 2000));
  testing::writeFile(temp.path() / "empty.mov", "");
  FfmpegDurationProbe probe;
  EXPECT_TRUE(testing::finishesWithin(20, [&] {
    return !probe.duration(pipe) && !probe.duration("/dev/zero") &&
           !probe.duration(temp.path() / "folder.mov") &&
           probe.whyUnusable(pipe) == "a named pipe, not a movie file";
  }));
  EXPECT_FALSE(probe.duration(temp.path() / "missing.mov"));
  EXPECT_FALSE(probe.duration(temp.path() / "empty.mov"));
  EXPECT_EQ(probe.whyUnusable(temp.path() / "cut.mov"),
            "not a movie: Invalid data found when processing input");
  EXPECT_EQ(probe.whyUnusable(movie), std::nullopt);
  std::optional<double> linked = probe.duration(temp.path() / "link.mov");
  ASSERT_TRUE(linked) << "a link to a movie is still read";
  EXPECT_NEAR(*linked, testing::movieDuration(movie), 0.001);
  EXPECT_NEAR(*linked, 1.0, 0.1);
}

} // namespace
} // namespace vidorel
