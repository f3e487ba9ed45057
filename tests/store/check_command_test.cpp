#include "model/manifest.h"
#include "store/duration_probe.h"
#include "store/session_store.h"
#include "support/movie_tools.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

namespace vidorel {
namespace {
namespace fs = std::filesystem;
using testing::readFile;
using testing::TemporaryFolder;
using testing::writeFile;

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs the vidorel executable and collects what it printed.
Outcome vidorel(const fs::path& scratch, const std::string& arguments) {
  fs::path out = scratch / "stdout.txt";
  fs::path err = scratch / "stderr.txt";
  // timeout: a check that hangs on a named pipe fails instead of hanging.
  std::string command = std::string("timeout -s KILL 60 '") + VIDOREL_EXECUTABLE + "' " +
                        arguments + " >'" + out.string() + "' 2>'" + err.string() + "'";
  int raw = std::system(command.c_str());
  Outcome outcome;
  outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  outcome.out = readFile(out);
  outcome.err = readFile(err);
  return outcome;
}

void makeMovie(const fs::path& file, int seconds) {
  testing::makeTake(
      file, {.seconds = double(seconds), .width = 160, .height = 120, .rate = 30, .audio = false});
}

class CheckCommandTest : public ::testing::Test {
protected:
  CheckCommandTest() : temp_("check-command"), store_(logger_, probe_) {
    package_ = temp_.path() / "Talk.vidorel";
    fs::create_directories(package_ / "takes");
  }

  // A package with one 2-second take stored as storedSeconds long.
  void makePackage(double storedSeconds) {
    makeMovie(package_ / "takes" / "scene-1-take-1.mov", 2);
    Session session(package_);
    session.bundleURL = package_;
    Take take = Take::make(Uuid::random(), "scene-1-take-1.mov", storedSeconds, currentTimestamp());
    session.scenes[0].takes = {take};
    session.scenes[0].selectedTakeID = take.id;
    ASSERT_FALSE(store_.save(session));
  }

  std::string quotedPackage() const { return "'" + package_.string() + "'"; }

  TemporaryFolder temp_;
  fs::path package_;
  Logger logger_;
  FfmpegDurationProbe probe_;
  SessionStore store_;
};

// The command over the real duration probe: the messages themselves, the
// other issues and pipes are checked in session_check_test.
TEST_F(CheckCommandTest, ReportsFixesAndSummarisesWithTheRealProbe) {
  Outcome outcome = vidorel(temp_.path(), "check " + quotedPackage());
  EXPECT_EQ(outcome.status, 2);
  EXPECT_EQ(outcome.err, "Cannot read manifest.json at " + (package_ / "manifest.json").string() +
                             ". No such file or directory.\n");
  EXPECT_EQ(outcome.out, "");

  // A 2-second take stored as 5 seconds, a crashed take that plays and a
  // file that does not.
  makePackage(5.0);
  fs::path crashed = package_ / "takes" / "scene-1-take-2.mov";
  makeMovie(crashed, 1);
  writeFile(package_ / "takes" / "scene-1-take-3.mov", std::string(4096, '\x01'));
  std::string before = readFile(package_ / "manifest.json");
  const std::string report =
      "Duration corrected for:\nscene-1-take-1.mov\n\nUnreviewed takes:\nscene-1-take-2.mov\n";
  outcome = vidorel(temp_.path(), "check " + quotedPackage());
  EXPECT_EQ(outcome.status, 1) << outcome.err;
  EXPECT_EQ(outcome.out, report);
  EXPECT_EQ(readFile(package_ / "manifest.json"), before);

  std::string movie = readFile(crashed);
  outcome = vidorel(temp_.path(), "check --fix " + quotedPackage());
  EXPECT_EQ(outcome.status, 1) << outcome.err;
  EXPECT_EQ(outcome.out, report);
  EXPECT_NE(readFile(package_ / "manifest.json"), before);
  EXPECT_NE(outcome.err.find("persistence: saved manifest to Talk.vidorel"), std::string::npos)
      << outcome.err;
  EXPECT_EQ(readFile(crashed), movie);
  EXPECT_TRUE(fs::exists(package_ / "takes" / "scene-1-take-3.mov"));

  fs::remove(crashed);
  outcome = vidorel(temp_.path(), "check " + quotedPackage());
  EXPECT_EQ(outcome.status, 0) << outcome.out;
  EXPECT_EQ(outcome.out, "1 scene, 1 take, 1 selected take, total selected duration 0:02\n");
}

// A take cut short and a pipe are named with the reason, libavformat's own
// complaints stay off the terminal; a take stored with length 0 is
// repaired by --fix and the session then exports.
TEST_F(CheckCommandTest, UnusableTakesAndAZeroLengthWithTheRealProbe) {
  makePackage(2.0);
  fs::path take = package_ / "takes" / "scene-1-take-1.mov";
  std::string movie = readFile(take);
  writeFile(take, movie.substr(0, 2000));
  Outcome outcome = vidorel(temp_.path(), "check " + quotedPackage());
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, "Unusable takes:\nscene-1-take-1.mov: not a movie: Invalid data found "
                         "when processing input\n");
  EXPECT_EQ(outcome.err.find("moov"), std::string::npos) << outcome.err;

  fs::remove(take);
  ASSERT_EQ(::mkfifo(take.c_str(), 0644), 0);
  outcome = vidorel(temp_.path(), "check --fix " + quotedPackage());
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.out, "Unusable takes:\nscene-1-take-1.mov: a named pipe, not a movie file\n");

  fs::remove(take);
  writeFile(take, movie);
  SessionManifest manifest = *decodeManifest(readFile(package_ / "manifest.json"));
  manifest.scenes[0].takes[0].duration = 0;
  manifest.scenes[0].takes[0].trimEnd = std::nullopt;
  writeFile(package_ / "manifest.json", *encodeManifest(manifest));
  outcome = vidorel(temp_.path(), "check --fix " + quotedPackage());
  EXPECT_EQ(outcome.status, 1) << outcome.err;
  outcome = vidorel(temp_.path(),
                    "export " + quotedPackage() + " '" + (temp_.path() / "out.mov").string() + "'");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
}

} // namespace
} // namespace vidorel
