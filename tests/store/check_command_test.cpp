#include "store/duration_probe.h"
#include "store/session_store.h"
#include "support/movie_tools.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {
namespace fs = std::filesystem;
using testing::readFile;
using testing::TemporaryFolder;
using testing::writeFile;

// Runs the vidorel executable; timeout: a check that hangs on a named pipe
// fails instead of hanging.
testing::SplitResult vidorel(const fs::path& folder, const std::string& arguments) {
  return testing::runSplit(std::string("timeout -s KILL 60 '") + VIDOREL_EXECUTABLE + "' " +
                               arguments,
                           folder / "stderr.txt");
}

void makeMovie(const fs::path& file, double seconds) {
  testing::makeTake(file,
                    {.seconds = seconds, .width = 160, .height = 120, .rate = 30, .audio = false});
}

// Exit codes and what --fix writes, over the real probe and executable.
TEST(CheckCommand, ReportsFixesAndSummarisesWithTheRealProbe) {
  TemporaryFolder temp("check-command");
  fs::path package = temp.path() / "Talk.vidorel";
  std::string check = "check '" + package.string() + "'";
  fs::create_directories(package / "takes");
  testing::SplitResult outcome = vidorel(temp.path(), check);
  EXPECT_EQ(outcome.status, 2);
  EXPECT_EQ(outcome.err, "Cannot read manifest.json at " + (package / "manifest.json").string() +
                             ". No such file or directory.\n");
  EXPECT_EQ(outcome.out, "");

  // A 2-second take stored as 5 s, a crashed take that plays, one that doesn't.
  makeMovie(package / "takes" / "scene-1-take-1.mov", 2);
  Session session(package);
  session.bundleURL = package;
  Take take = Take::make(Uuid::random(), "scene-1-take-1.mov", 5, currentTimestamp());
  session.scenes[0].takes = {take};
  session.scenes[0].selectedTakeID = take.id;
  Logger logger;
  FfmpegDurationProbe probe;
  ASSERT_FALSE(SessionStore(logger, probe).save(session));
  fs::path crashed = package / "takes" / "scene-1-take-2.mov";
  makeMovie(crashed, 1);
  writeFile(package / "takes" / "scene-1-take-3.mov", std::string(4096, '\x01'));
  std::string before = readFile(package / "manifest.json");
  const std::string report =
      "Duration corrected for:\nscene-1-take-1.mov\n\nUnreviewed takes:\nscene-1-take-2.mov\n";
  outcome = vidorel(temp.path(), check);
  EXPECT_EQ(outcome.status, 1) << outcome.err;
  EXPECT_EQ(outcome.out, report);
  EXPECT_EQ(readFile(package / "manifest.json"), before);

  outcome = vidorel(temp.path(), "check --fix '" + package.string() + "'");
  EXPECT_EQ(outcome.status, 1) << outcome.err;
  EXPECT_EQ(outcome.out, report);
  EXPECT_NE(readFile(package / "manifest.json"), before);
  EXPECT_NE(outcome.err.find("persistence: saved manifest to Talk.vidorel"), std::string::npos)
      << outcome.err;

  fs::remove(crashed);
  outcome = vidorel(temp.path(), check);
  EXPECT_EQ(outcome.status, 0) << outcome.out;
  EXPECT_EQ(outcome.out, "1 scene, 1 take, 1 selected take, total selected duration 0:02\n");
}

} // namespace
} // namespace vidorel
