#include "export/movie_tools.h"
#include "store/duration_probe.h"
#include "store/session_store.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace vidorel {
namespace {
namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string out, err;
};

std::string contentsOf(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string shellQuoted(const fs::path& path) {
  return "'" + path.string() + "'";
}

Take takeOf(const std::string& filename, double duration, double trimStart, double trimEnd) {
  Take take = Take::make(Uuid::random(), filename, duration, currentTimestamp());
  take.trimStart = trimStart;
  take.trimEnd = trimEnd;
  return take;
}

RecordingScene sceneWith(std::optional<Take> selected) {
  RecordingScene scene = RecordingScene::make();
  if (selected) {
    scene.takes = {*selected};
    scene.selectedTakeID = selected->id;
  }
  return scene;
}

std::vector<std::string> slice(const std::vector<std::string>& frames, size_t from, size_t to) {
  return std::vector<std::string>(frames.begin() + static_cast<std::ptrdiff_t>(from),
                                  frames.begin() + static_cast<std::ptrdiff_t>(to));
}

// The names in a folder.
std::set<std::string> entriesOf(const fs::path& folder) {
  std::set<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

// Whether process pid has a file in folder open (named or not).
bool hasFileOpenIn(pid_t pid, const fs::path& folder) {
  std::error_code error;
  std::string prefix = folder.string() + "/";
  for (fs::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
       !error && it != end; it.increment(error)) {
    std::error_code unreadable;
    std::string target = fs::read_symlink(it->path(), unreadable).string();
    if (!unreadable && target.compare(0, prefix.size(), prefix) == 0)
      return true;
  }
  return false;
}

// Whether the folder's file system makes unnamed files.
bool supportsUnnamedFiles(const fs::path& folder) {
  int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0)
    return false;
  ::close(fd);
  return true;
}

// A package "Talk.vidorel" with two takes made by ffmpeg (4 s and 3 s at
// 24 frames a second) and a folder beside it for the movies.
class ExportCommandTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    root_ = new fs::path(testing::makeTemporaryFolder("export-command"));
    fs::create_directories(package() / "takes");
    testing::TakeSpec first;
    testing::makeTake(package() / "takes" / "scene-1-take-1.mov", first);
    testing::TakeSpec third;
    third.seconds = 3;
    third.pattern = "testsrc2";
    testing::makeTake(package() / "takes" / "scene-3-take-1.mov", third);
  }
  static void TearDownTestSuite() {
    fs::remove_all(*root_);
    delete root_;
  }
  void SetUp() override {
    out_ = *root_ / "out";
    fs::create_directories(out_);
  }
  void TearDown() override { fs::remove_all(out_); }

  static fs::path package() { return *root_ / "Talk.vidorel"; }
  static fs::path take(int scene) {
    return package() / "takes" / ("scene-" + std::to_string(scene) + "-take-1.mov");
  }

  // Scenes 1 and 3 select a trimmed take; scene 2 has none.
  void saveSession(std::vector<RecordingScene> scenes) {
    Session session(package());
    session.bundleURL = package();
    session.scenes = std::move(scenes);
    Logger logger;
    FfmpegDurationProbe probe;
    SessionStore store(logger, probe);
    ASSERT_FALSE(store.save(session));
  }
  void saveThreeScenes() {
    saveSession({sceneWith(takeOf("scene-1-take-1.mov", 4, 1.0, 3.5)), sceneWith(std::nullopt),
                 sceneWith(takeOf("scene-3-take-1.mov", 3, 0.25, 2.0))});
  }

  Outcome vidorel(const std::string& arguments) {
    fs::path out = *root_ / "stdout.txt";
    fs::path err = *root_ / "stderr.txt";
    // The settings the desktop app keeps are the command's too.
    testing::CommandResult result =
        testing::runCommand("XDG_CONFIG_HOME=" + shellQuoted(*root_ / "config") + " " +
                            shellQuoted(VIDOREL_EXECUTABLE) + " " + arguments + " >" +
                            shellQuoted(out) + " 2>" + shellQuoted(err));
    return {result.status, contentsOf(out), contentsOf(err)};
  }

  static fs::path* root_;
  fs::path out_;
};

fs::path* ExportCommandTest::root_ = nullptr;

TEST_F(ExportCommandTest, WritesTheSelectedRangesAndPrintsTheChapters) {
  saveThreeScenes();
  fs::path movie = out_ / "final.mov";
  fs::create_directories(*root_ / "config" / "Vidorel");
  std::ofstream(*root_ / "config" / "Vidorel" / "defaults.json") << R"({"evenOutLoudness":false})";
  Outcome outcome = vidorel("export " + shellQuoted(package()) + " " + shellQuoted(movie));
  fs::remove_all(*root_ / "config");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "0:00 Scene 1\n0:02 Scene 3\n");
  EXPECT_EQ(outcome.err, "");

  // ffmpeg shows frames 24..83 of the first take, then 6..47 of the third:
  // each segment starts at its trim start, even between key frames, where
  // the frames up to the next key frame are encoded again.
  testing::ShownMovie first = testing::showWithFfmpeg(take(1));
  testing::ShownMovie third = testing::showWithFfmpeg(take(3));
  std::vector<std::string> expected = slice(first.frames, 24, 84);
  for (const std::string& frame : slice(third.frames, 6, 48))
    expected.push_back(frame);
  testing::ShownMovie shown = testing::showWithFfmpeg(movie);
  ASSERT_EQ(shown.frames.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_GE(testing::psnr(shown.frames[i], expected[i], shown.width, shown.height), 40.0)
        << "frame " << i;
    EXPECT_NEAR(shown.times[i], static_cast<double>(i) / 24, 1.0 / 48) << "frame " << i;
  }
  EXPECT_NEAR(shown.duration, 4.25, 0.001);

  // The sound is copied: every stored audio packet is one of the takes'.
  std::set<std::string> sourcePackets;
  for (int scene : {1, 3}) {
    for (const testing::Packet& packet : testing::packets(take(scene), 'a'))
      sourcePackets.insert(packet.hash);
  }
  std::vector<testing::Packet> stored = testing::packets(movie, 'a', true);
  EXPECT_FALSE(stored.empty());
  for (const testing::Packet& packet : stored)
    EXPECT_TRUE(sourcePackets.count(packet.hash)) << "audio packet at " << packet.dts;

  // A session folder given with a trailing separator and a relative
  // destination work alike.
  Outcome relative = vidorel("export " + shellQuoted(package().string() + "/") + " " +
                             shellQuoted(fs::relative(out_ / "again.mov")));
  EXPECT_EQ(relative.status, 0) << relative.err;
  EXPECT_EQ(testing::frameHashes(out_ / "again.mov"), testing::frameHashes(movie));
}

TEST_F(ExportCommandTest, ExportFailuresPrintTheAlertTextsAndExitOne) {
  fs::path movie = out_ / "final.mov";

  saveSession({sceneWith(std::nullopt), sceneWith(std::nullopt)});
  Outcome nothing = vidorel("export " + shellQuoted(package()) + " " + shellQuoted(movie));
  EXPECT_EQ(nothing.status, 1);
  EXPECT_EQ(nothing.err, "Nothing to export\nNo scenes have a selected take.\n");
  EXPECT_EQ(nothing.out, "");
  EXPECT_FALSE(fs::exists(movie));

  // A take file gone missing: an existing movie at the destination stays.
  {
    std::ofstream old(movie);
    old << "an older movie";
  }
  saveSession({sceneWith(takeOf("scene-1-take-1.mov", 4, 0, 1)),
               sceneWith(takeOf("scene-2-take-1.mov", 4, 0, 1))});
  Outcome missing = vidorel("export " + shellQuoted(package()) + " " + shellQuoted(movie));
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "Export failed\n" + (package() / "takes" / "scene-2-take-1.mov").string() +
                             ": No such file or directory\n");
  EXPECT_EQ(contentsOf(movie), "an older movie");
  EXPECT_EQ(std::distance(fs::directory_iterator(out_), fs::directory_iterator{}), 1);

  // A take file as destination is refused before anything is written.
  saveThreeScenes();
  std::string before = contentsOf(take(1));
  Outcome inside = vidorel("export " + shellQuoted(package()) + " " + shellQuoted(take(1)));
  EXPECT_EQ(inside.status, 1);
  EXPECT_EQ(inside.err, "Export failed\nThe movie cannot be saved inside the session’s folder\n");
  EXPECT_EQ(contentsOf(take(1)), before);
}

TEST_F(ExportCommandTest, AKilledExportLeavesTheOlderMovieAndNothingElse) {
  // Twelve segments, each cut between key frames: the export runs a while.
  std::vector<RecordingScene> scenes;
  std::vector<fs::path> copies;
  for (int i = 0; i < 12; ++i) {
    std::string name = "kill-" + std::to_string(i) + ".mov";
    copies.push_back(package() / "takes" / name);
    fs::copy_file(take(1), copies.back(), fs::copy_options::overwrite_existing);
    scenes.push_back(sceneWith(takeOf(name, 4, 0.3 + 0.1 * i, 3.9)));
  }
  saveSession(scenes);
  fs::path movie = out_ / "final.mov";
  {
    std::ofstream old(movie);
    old << "an older movie";
  }
  std::string folder = package().string();
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execl(VIDOREL_EXECUTABLE, VIDOREL_EXECUTABLE, "export", folder.c_str(), movie.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Killed while it has its new movie open.
  bool writing = false;
  int status = 0;
  bool ended = false;
  for (int i = 0; i < 40000 && !writing && !ended; ++i) {
    writing = hasFileOpenIn(child, out_);
    if (!writing) {
      ended = ::waitpid(child, &status, WNOHANG) == child;
      ::usleep(250);
    }
  }
  if (!ended) {
    ::kill(child, SIGKILL);
    ASSERT_EQ(::waitpid(child, &status, 0), child);
  }
  ASSERT_TRUE(writing) << "the export ended (status " << status << ") before it was seen writing";
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  EXPECT_EQ(contentsOf(movie), "an older movie");
  if (supportsUnnamedFiles(out_)) {
    EXPECT_EQ(entriesOf(out_), std::set<std::string>{"final.mov"});
  }

  // The next export to it replaces the movie, and removes the killed
  // one's file where it had a name.
  Outcome again = vidorel("export " + shellQuoted(package()) + " " + shellQuoted(movie));
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(entriesOf(out_), std::set<std::string>{"final.mov"});
  FfmpegDurationProbe probe;
  std::optional<double> duration = probe.duration(movie);
  ASSERT_TRUE(duration.has_value());
  EXPECT_NEAR(*duration, 12 * 3.6 - 0.1 * 66, 0.01);
  for (const fs::path& copy : copies)
    fs::remove(copy);
}

TEST_F(ExportCommandTest, LoadErrorsArePrintedAsCheckPrintsThem) {
  fs::path empty = out_ / "Empty.vidorel";
  fs::create_directories(empty);
  fs::path broken = out_ / "broken";
  fs::create_directories(broken);
  {
    std::ofstream manifest(broken / "manifest.json");
    manifest << "{ not json";
  }
  for (const fs::path& folder : {empty, broken}) {
    SCOPED_TRACE(folder.string());
    Outcome exported =
        vidorel("export " + shellQuoted(folder) + " " + shellQuoted(out_ / "movie.mov"));
    Outcome checked = vidorel("check " + shellQuoted(folder));
    EXPECT_EQ(exported.status, 2);
    EXPECT_EQ(checked.status, 2);
    EXPECT_NE(exported.err, "");
    EXPECT_EQ(exported.err, checked.err);
    EXPECT_EQ(exported.out, "");
    EXPECT_FALSE(fs::exists(out_ / "movie.mov"));
  }
}

TEST_F(ExportCommandTest, WrongArgumentsPrintTheUsage) {
  for (const std::string& arguments : {std::string("export"), "export " + shellQuoted(package()),
                                       "export " + shellQuoted(package()) + " a.mov b.mov",
                                       "export --fast " + shellQuoted(package())}) {
    SCOPED_TRACE(arguments);
    Outcome outcome = vidorel(arguments);
    EXPECT_EQ(outcome.status, 64);
    EXPECT_NE(outcome.err.find("usage: vidorel export FOLDER OUT.mov"), std::string::npos);
  }
}

} // namespace
} // namespace vidorel
