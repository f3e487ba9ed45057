#include "fakes/session_builder.h"
#include "store/duration_probe.h"
#include "store/session_store.h"
#include "support/movie_tools.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

namespace vidorel {
namespace {
namespace fs = std::filesystem;
using testing::takeOf;

using testing::shellQuoted;

RecordingScene sceneWith(std::optional<Take> selected) {
  RecordingScene scene = RecordingScene::make();
  if (selected) {
    scene.takes = {*selected};
    scene.selectedTakeID = selected->id;
  }
  return scene;
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

  testing::SplitResult vidorel(const std::string& arguments) {
    // The settings the desktop app keeps are the command's too.
    return testing::runSplit("XDG_CONFIG_HOME=" + shellQuoted(*root_ / "config") + " " +
                                 shellQuoted(VIDOREL_EXECUTABLE) + " " + arguments,
                             *root_ / "stderr.txt");
  }

  static fs::path* root_;
  testing::TemporaryFolder folder_{"export-out"};
  const fs::path& out_ = folder_.path();
};

fs::path* ExportCommandTest::root_ = nullptr;

TEST_F(ExportCommandTest, WritesTheSelectedRangesAndPrintsTheChapters) {
  saveSession({sceneWith(takeOf("scene-1-take-1.mov", 4, 1.0, 3.5)), sceneWith(std::nullopt),
               sceneWith(takeOf("scene-3-take-1.mov", 3, 0.25, 2.0))});
  fs::path movie = out_ / "final.mov";
  fs::create_directories(*root_ / "config" / "Vidorel");
  std::ofstream(*root_ / "config" / "Vidorel" / "defaults.json") << R"({"evenOutLoudness":false})";
  testing::SplitResult outcome =
      vidorel("export " + shellQuoted(package()) + " " + shellQuoted(movie));
  fs::remove_all(*root_ / "config");
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "0:00 Scene 1\n0:02 Scene 3\n");
  EXPECT_EQ(outcome.err, "");

  // The trimmed ranges, 2.5 s and 1.75 s at 24 frames a second (how the
  // frames are cut is checked with the exporter).
  testing::ShownMovie shown = testing::showWithFfmpeg(movie);
  EXPECT_EQ(shown.frames.size(), 60u + 42u);
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
  testing::SplitResult relative = vidorel("export " + shellQuoted(package().string() + "/") + " " +
                                          shellQuoted(fs::relative(out_ / "again.mov")));
  EXPECT_EQ(relative.status, 0) << relative.err;
  EXPECT_TRUE(testing::showWithFfmpeg(out_ / "again.mov").frames == shown.frames);
}

TEST_F(ExportCommandTest, ExportFailuresPrintTheAlertTextsAndExitOne) {
  fs::path movie = out_ / "final.mov";

  saveSession({sceneWith(std::nullopt), sceneWith(std::nullopt)});
  testing::SplitResult nothing =
      vidorel("export " + shellQuoted(package()) + " " + shellQuoted(movie));
  EXPECT_EQ(nothing.status, 1);
  EXPECT_EQ(nothing.err, "Nothing to export\nNo scenes have a selected take.\n");
  EXPECT_EQ(nothing.out, "");
  EXPECT_FALSE(fs::exists(movie));

  // A take file gone missing.
  saveSession({sceneWith(takeOf("scene-1-take-1.mov", 4, 0, 1)),
               sceneWith(takeOf("scene-2-take-1.mov", 4, 0, 1))});
  testing::SplitResult missing =
      vidorel("export " + shellQuoted(package()) + " " + shellQuoted(movie));
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "Export failed\n" + (package() / "takes" / "scene-2-take-1.mov").string() +
                             ": No such file or directory\n");
  EXPECT_FALSE(fs::exists(movie));
}

TEST_F(ExportCommandTest, WrongArgumentsPrintTheUsage) {
  for (const std::string& arguments : {std::string("export"), "export " + shellQuoted(package()),
                                       "export " + shellQuoted(package()) + " a.mov b.mov",
                                       "export --fast " + shellQuoted(package())}) {
    SCOPED_TRACE(arguments);
    testing::SplitResult outcome = vidorel(arguments);
    EXPECT_EQ(outcome.status, 64);
    EXPECT_NE(outcome.err.find("usage: vidorel export FOLDER OUT.mov"), std::string::npos);
  }
}

} // namespace
} // namespace vidorel
