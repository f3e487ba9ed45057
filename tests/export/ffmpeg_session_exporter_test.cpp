#include "export/ffmpeg_session_exporter.h"

#include "base/virtual_main_loop.h"
#include "fakes/session_builder.h"
#include "support/movie_tools.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>

namespace vidorel {
namespace {
namespace fs = std::filesystem;
using testing::takeOf;

class FfmpegSessionExporterTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    root_ = new fs::path(testing::makeTemporaryFolder("export"));
    fs::create_directories(takes() / "");
    testing::TakeSpec first;
    testing::makeTake(takes() / "scene-1-take-1.mov", first);
    testing::TakeSpec second;
    second.seconds = 3;
    second.pattern = "testsrc2";
    second.toneHz = 880;
    testing::makeTake(takes() / "scene-2-take-1.mov", second);
    testing::TakeSpec silent;
    silent.seconds = 2;
    silent.audio = false;
    silent.pattern = "testsrc2";
    testing::makeTake(takes() / "scene-3-take-1.mov", silent);
    testing::TakeSpec small;
    small.seconds = 2;
    small.width = 256;
    small.height = 144;
    testing::makeTake(takes() / "scene-4-take-1.mov", small);
  }
  static void TearDownTestSuite() {
    fs::remove_all(*root_);
    delete root_;
  }
  void SetUp() override {
    out_ = root_->parent_path() / (root_->filename().string() + "-out");
    fs::create_directories(out_);
  }
  void TearDown() override { fs::remove_all(out_); }

  static fs::path takes() { return *root_ / "takes"; }
  static fs::path take(int scene) {
    return takes() / ("scene-" + std::to_string(scene) + "-take-1.mov");
  }

  // Files in the output folder other than the movie itself.
  std::vector<std::string> strayFiles(const fs::path& movie) const {
    std::vector<std::string> stray;
    for (const auto& entry : fs::directory_iterator(out_)) {
      if (entry.path() != movie)
        stray.push_back(entry.path().filename().string());
    }
    return stray;
  }

  static fs::path* root_;
  fs::path out_;
};

fs::path* FfmpegSessionExporterTest::root_ = nullptr;

TEST_F(FfmpegSessionExporterTest, MissingTakeFileFailsWithThePlatformText) {
  fs::path movie = out_ / "movie.mov";
  std::vector<Take> selected = {takeOf("scene-1-take-1.mov", 4, 0, 1),
                                takeOf("scene-9-take-1.mov", 4, 0, 1)};
  std::optional<ExportFailure> failure = exportMovie(selected, takes(), movie);
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->error(), std::nullopt);
  EXPECT_EQ(failure->description(),
            (takes() / "scene-9-take-1.mov").string() + ": No such file or directory");
  EXPECT_FALSE(fs::exists(movie));
  EXPECT_EQ(strayFiles(movie), std::vector<std::string>{});
}

TEST_F(FfmpegSessionExporterTest, ExistingDestinationIsReplacedOnSuccessAndKeptOnFailure) {
  fs::path movie = out_ / "movie.mov";
  {
    std::ofstream old(movie);
    old << "an older movie";
  }
  std::vector<Take> broken = {takeOf("scene-1-take-1.mov", 4, 0, 1),
                              takeOf("missing.mov", 4, 0, 1)};
  ASSERT_TRUE(exportMovie(broken, takes(), movie).has_value());
  EXPECT_EQ(testing::readFile(movie), "an older movie");
  EXPECT_EQ(strayFiles(movie), std::vector<std::string>{});

  ASSERT_EQ(exportMovie({takeOf("scene-1-take-1.mov", 4, 0, 1)}, takes(), movie), std::nullopt);
  EXPECT_EQ(testing::frameHashes(movie).size(), 24u);
  EXPECT_EQ(strayFiles(movie), std::vector<std::string>{});
}

TEST_F(FfmpegSessionExporterTest, RefusesDestinationsInsideTheSession) {
  std::string before = testing::readFile(take(1));
  std::vector<Take> selected = {takeOf("scene-1-take-1.mov", 4, 0, 1)};
  const ExportFailure refused = ExportFailure::own(ExportError::destinationInsideSession);
  EXPECT_EQ(exportMovie(selected, takes(), take(1)), refused);
  EXPECT_EQ(exportMovie(selected, takes(), *root_ / "movie.mov"), refused);
  EXPECT_EQ(exportMovie(selected, takes(), takes() / "new.mov"), refused);
  // Through a link from outside the session.
  fs::create_symlink(take(1), out_ / "link.mov");
  EXPECT_EQ(exportMovie(selected, takes(), out_ / "link.mov"), refused);
  fs::create_hard_link(take(1), out_ / "hard.mov");
  EXPECT_EQ(exportMovie(selected, takes(), out_ / "hard.mov"), refused);
  EXPECT_EQ(testing::readFile(take(1)), before);
  EXPECT_FALSE(fs::exists(*root_ / "movie.mov"));
  EXPECT_FALSE(fs::exists(takes() / "new.mov"));
}

// libavformat would wait for a pipe's writer for ever, and the finished
// movie's rename would replace a device node (root may write even in /dev):
// both are refused at once, and nothing at either path changes.
TEST_F(FfmpegSessionExporterTest, RefusesPipesDevicesAndFoldersAsTakeOrDestination) {
  fs::path pipes = out_ / "session" / "takes";
  fs::create_directories(pipes);
  fs::path pipeTake = pipes / "scene-1-take-1.mov";
  ASSERT_EQ(::mkfifo(pipeTake.c_str(), 0644), 0);
  std::vector<Take> selected = {takeOf("scene-1-take-1.mov", 4, 0, 1)};
  EXPECT_TRUE(testing::finishesWithin(20, [&] {
    std::optional<ExportFailure> failure = exportMovie(selected, pipes, out_ / "movie.mov");
    return failure &&
           failure->description() == pipeTake.string() + ": a named pipe, not a movie file";
  }));

  fs::path pipe = out_ / "pipe.mov";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
  std::vector<std::pair<fs::path, std::string>> destinations = {{pipe, "named pipe"},
                                                                {pipes, "folder"}};
  if (::geteuid() == 0) {
    fs::path device = out_ / "null";
    ASSERT_EQ(::mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    destinations.push_back({device, "device"});
  }
  for (const auto& [destination, kind] : destinations) {
    fs::file_status before = fs::status(destination);
    EXPECT_EQ(exportMovie(selected, takes(), destination),
              ExportFailure::platform(destination.string() + ": a " + kind +
                                      " is there; the movie is only written to a new file or "
                                      "over a regular file"));
    EXPECT_EQ(fs::status(destination).type(), before.type()) << destination;
  }
}

TEST_F(FfmpegSessionExporterTest, NothingToShowFailsAsExportFailed) {
  fs::path movie = out_ / "movie.mov";
  std::vector<Take> empty = {takeOf("scene-1-take-1.mov", 4, 2, 2)};
  EXPECT_EQ(exportMovie(empty, takes(), movie), ExportFailure::own(ExportError::exportFailed));
  EXPECT_FALSE(fs::exists(movie));
  EXPECT_EQ(strayFiles(movie), std::vector<std::string>{});
}

struct Outcome {
  bool done = false;
  std::optional<ExportFailure> failure;
};

// Paths passed as temporaries, as the export flow passes them.
Task<void> exportOneSecond(SessionExporter& exporter, fs::path takes, fs::path destination,
                           Outcome& into) {
  std::vector<Take> selected = {takeOf("scene-1-take-1.mov", 4, 0.5, 1.5)};
  into.failure = co_await exporter.exportTakes(selected, takes, destination, {});
  into.done = true;
}

TEST_F(FfmpegSessionExporterTest, ExportTakesResumesOnTheMainLoopWithTheResult) {
  VirtualMainLoop loop;
  Outcome first, inside;
  {
    FfmpegSessionExporter exporter(loop);
    spawn(exportOneSecond(exporter, takes(), out_ / "first.mov", first));
    spawn(exportOneSecond(exporter, takes(), takes() / "inside.mov", inside));
    for (int i = 0; i < 20000 && !(first.done && inside.done); ++i) {
      loop.runUntilIdle();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ASSERT_TRUE(first.done);
  ASSERT_TRUE(inside.done);
  EXPECT_EQ(first.failure, std::nullopt);
  EXPECT_EQ(inside.failure, ExportFailure::own(ExportError::destinationInsideSession));
  EXPECT_EQ(testing::frameHashes(out_ / "first.mov").size(), 24u);
}

} // namespace
} // namespace vidorel
