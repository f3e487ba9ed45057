#include "store/duration_probe.h"
#include "store/session_store.h"
#include "support/movie_tools.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace vidorel {
namespace {
namespace fs = std::filesystem;
using testing::TemporaryFolder;

// A short take-like movie: H.264 video and AAC sound.
void makeMovie(const fs::path& file, double seconds) {
  testing::makeTake(file, {.seconds = seconds, .width = 160, .height = 120, .rate = 30});
}

Task<void> runReconcile(SessionStore& store, Session session, std::optional<ReconcileResult>& out) {
  out = co_await store.reconcileTakeFiles(std::move(session));
}

TEST(FfmpegDurationProbe, ReadsTheLengthOfARealMovie) {
  TemporaryFolder temp("probe");
  fs::path movie = temp.path() / "scene-1-take-1.mov";
  makeMovie(movie, 2);
  FfmpegDurationProbe probe;
  std::optional<double> duration = probe.duration(movie);
  ASSERT_TRUE(duration);
  EXPECT_NEAR(*duration, testing::movieDuration(movie), 0.001);
  EXPECT_NEAR(*duration, 2.0, 0.1);
}

TEST(FfmpegDurationProbe, FailsForWhatIsNoMovie) {
  TemporaryFolder temp("probe-bad");
  FfmpegDurationProbe probe;
  EXPECT_FALSE(probe.duration(temp.path() / "missing.mov"));
  testing::writeFile(temp.path() / "noise.mov", std::string(4096, '\x5a'));
  EXPECT_FALSE(probe.duration(temp.path() / "noise.mov"));
  testing::writeFile(temp.path() / "empty.mov", "");
  EXPECT_FALSE(probe.duration(temp.path() / "empty.mov"));
}

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

// Only regular files are opened: libavformat would wait on a named pipe for
// a writer that never comes. The calls run in a child process so that a
// regression fails instead of hanging.
TEST(FfmpegDurationProbe, RefusesPipesDevicesAndFoldersAtOnce) {
  TemporaryFolder temp("probe-special");
  fs::path pipe = temp.path() / "scene-1-take-1.mov";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
  fs::create_directories(temp.path() / "folder.mov");
  fs::path movie = temp.path() / "movie.mov";
  makeMovie(movie, 1);
  fs::create_symlink(movie, temp.path() / "link.mov");
  FfmpegDurationProbe probe;
  EXPECT_TRUE(testing::finishesWithin(20, [&] {
    return !probe.duration(pipe) && !probe.duration("/dev/zero") &&
           !probe.duration(temp.path() / "folder.mov");
  }));
  std::optional<double> linked = probe.duration(temp.path() / "link.mov");
  ASSERT_TRUE(linked) << "a link to a movie is still read";
  EXPECT_NEAR(*linked, 1.0, 0.1);
}

TEST(ReconcileWithRealMovies, CorrectsOnlyWhatIsOffAndLogsWhatCannotBeRead) {
  TemporaryFolder temp("reconcile-media");
  fs::path folder = temp.path() / "session";
  fs::create_directories(folder / "takes");
  makeMovie(folder / "takes" / "scene-1-take-1.mov", 2);
  makeMovie(folder / "takes" / "scene-1-take-2.mov", 1);
  testing::writeFile(folder / "takes" / "scene-2-take-1.mov", std::string(2048, '\x01'));

  Session session(folder);
  Timestamp now = currentTimestamp();
  Take right = Take::make(Uuid::random(), "scene-1-take-1.mov", 2.0, now);
  Take wrong = Take::make(Uuid::random(), "scene-1-take-2.mov", 5.0, now);
  wrong.trimStart = 0.5;
  wrong.trimEnd = 4;
  Take broken = Take::make(Uuid::random(), "scene-2-take-1.mov", 3.0, now);
  Take gone = Take::make(Uuid::random(), "scene-2-take-2.mov", 3.0, now);
  session.scenes[0].takes = {right, wrong};
  session.scenes.push_back(RecordingScene::make());
  session.scenes[1].takes = {broken, gone};
  session.scenes[1].selectedTakeID = gone.id;

  Logger logger;
  auto log = std::make_shared<RecordingLogSink>();
  logger.addSink(log);
  FfmpegDurationProbe probe;
  SessionStore store(logger, probe);
  std::optional<ReconcileResult> result;
  spawn(runReconcile(store, session, result));
  ASSERT_TRUE(result);

  EXPECT_EQ(result->session.scenes[0].takes[0], right);
  const Take& fixed = result->session.scenes[0].takes[1];
  double real = testing::movieDuration(folder / "takes" / "scene-1-take-2.mov");
  EXPECT_NEAR(fixed.duration, real, 0.001);
  EXPECT_NEAR(fixed.duration, 1.0, 0.1);
  EXPECT_EQ(fixed.trimStart, 0.5);
  EXPECT_EQ(fixed.trimEnd, fixed.duration);
  EXPECT_EQ(result->session.scenes[1].takes[0], broken);
  EXPECT_FALSE(result->session.scenes[1].selectedTakeID);
  EXPECT_EQ(result->missing, std::vector<std::string>{"scene-2-take-2.mov"});
  EXPECT_EQ(result->corrected, std::vector<std::string>{"scene-1-take-2.mov"});
  EXPECT_EQ(log->messages(LogCategory::persistence),
            std::vector<std::string>{"Could not read duration for " +
                                     (folder / "takes" / "scene-2-take-1.mov").string()});
}

} // namespace
} // namespace vidorel
