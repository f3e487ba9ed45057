#include "store/session_check.h"

#include "fakes/fake_duration_probe.h"
#include "fakes/session_builder.h"
#include "model/manifest.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <tuple>

namespace vidorel {
namespace {
namespace fs = std::filesystem;
using testing::readFile;
using testing::takeOf;
using testing::TemporaryFolder;
using testing::writeFile;

Task<void> run(CheckRequest request, SessionStore& store, DurationProbe& probe, std::ostream& out,
               std::ostream& err, std::optional<int>& status) {
  status = co_await checkSession(std::move(request), store, probe, out, err);
}

class SessionCheckTest : public ::testing::Test {
protected:
  SessionCheckTest() : temp_("check"), store_(logger_, probe_) {
    folder_ = temp_.path() / "Recording.vidorel";
    fs::create_directories(folder_ / "takes");
    session_ = Session(folder_);
    session_.bundleURL = folder_;
    session_.scenes[0].takes = {takeOf("scene-1-take-1.mov", 61.5, 1.5, 61.5),
                                takeOf("scene-1-take-2.mov", 10, 0, 10)};
    session_.scenes.push_back(RecordingScene::make());
    session_.scenes[1].takes = {takeOf("scene-2-take-1.mov", 5, 0, 5)};
    for (RecordingScene& scene : session_.scenes) {
      scene.selectedTakeID = scene.takes[0].id;
      for (const Take& take : scene.takes)
        probe_.durations[take.filename] = take.duration;
    }
    testing::writeTakeFiles(session_);
    EXPECT_FALSE(store_.save(session_));
  }

  int check(bool fix = false) {
    out_.str("");
    err_.str("");
    std::optional<int> status;
    spawn(run(CheckRequest{folder_, fix}, store_, probe_, out_, err_, status));
    EXPECT_TRUE(status);
    return status.value_or(-1);
  }

  TemporaryFolder temp_;
  fs::path folder_;
  Logger logger_;
  FakeDurationProbe probe_;
  SessionStore store_;
  Session session_;
  std::ostringstream out_, err_;
};

// Only --fix saves corrections; unreviewed takes are the user's footage, and
// --fix neither adopts nor removes them.
TEST_F(SessionCheckTest, IssuesAreListedAndOnlyFixSavesTheCorrections) {
  fs::path takes = folder_ / "takes";
  writeFile(takes / "scene-1-take-3.mov", "crashed take");
  writeFile(takes / "scene-2-take-2.mov", "older crashed take");
  writeFile(takes / "scene-2-take-3.mov", "does not play");
  probe_.durations["scene-1-take-3.mov"] = 4;
  probe_.durations["scene-2-take-2.mov"] = 2;
  auto now = fs::file_time_type::clock::now();
  fs::last_write_time(takes / "scene-2-take-2.mov", now - std::chrono::minutes(3));
  fs::last_write_time(takes / "scene-1-take-3.mov", now);
  fs::remove(takes / "scene-2-take-1.mov");
  probe_.durations["scene-1-take-2.mov"] = 8;
  std::string before = readFile(folder_ / "manifest.json");
  const std::string report = "Missing files:\nscene-2-take-1.mov\n\n"
                             "Duration corrected for:\nscene-1-take-2.mov\n\n"
                             "Unreviewed takes:\nscene-1-take-3.mov\nscene-2-take-2.mov\n";
  EXPECT_EQ(check(), kCheckFoundIssues);
  EXPECT_EQ(out_.str(), report);
  EXPECT_EQ(readFile(folder_ / "manifest.json"), before);
  EXPECT_EQ(check(true), kCheckFoundIssues);
  EXPECT_EQ(out_.str(), report);
  EXPECT_EQ(readFile(takes / "scene-1-take-3.mov"), "crashed take");
  EXPECT_TRUE(fs::exists(takes / "scene-2-take-3.mov"));
  Expected<Session, ManifestError> fixed = store_.load(folder_, folder_);
  ASSERT_TRUE(fixed);
  EXPECT_EQ(fixed->scenes[0].takes.size() + fixed->scenes[1].takes.size(), 3u);
  EXPECT_EQ(fixed->scenes[0].takes[1].duration, 8);
  EXPECT_EQ(fixed->scenes[0].takes[1].trimEnd, 8);
  EXPECT_FALSE(fixed->scenes[1].selectedTakeID);
}

// Older versions could store a length of 0, which the load refuses: the
// check reads the files' lengths and clamps the trims to them.
TEST_F(SessionCheckTest, DurationsThatAreNoPositiveNumberAreNamedAndRepairedByFix) {
  SessionManifest manifest(session_);
  TakeManifest& zero = manifest.scenes[0].takes[1];
  zero.duration = 0;
  zero.trimStart = zero.trimEnd = std::nullopt;
  TakeManifest& trimmed = manifest.scenes[1].takes[0];
  trimmed.duration = 0;
  trimmed.trimStart = 1;
  trimmed.trimEnd = 9;
  writeFile(folder_ / "manifest.json", *encodeManifest(manifest));
  probe_.durations["scene-1-take-2.mov"] = 4;
  const std::string report = "Invalid durations:\n"
                             "scene-1-take-2.mov: duration 0 is not a positive number of seconds\n"
                             "scene-2-take-1.mov: duration 0 is not a positive number of seconds\n";
  EXPECT_EQ(check(), kCheckFoundIssues);
  EXPECT_EQ(out_.str(), report);
  EXPECT_FALSE(store_.load(folder_, folder_));

  EXPECT_EQ(check(true), kCheckFoundIssues);
  EXPECT_EQ(out_.str(), report);
  Expected<Session, ManifestError> fixed = store_.load(folder_, folder_);
  ASSERT_TRUE(fixed) << fixed.error().description();
  const Take& first = fixed->scenes[0].takes[1];
  EXPECT_EQ(std::tuple(first.duration, first.trimStart, first.trimEnd), std::tuple(4, 0, 4));
  const Take& second = fixed->scenes[1].takes[0];
  EXPECT_EQ(std::tuple(second.duration, second.trimStart, second.trimEnd), std::tuple(5, 1, 5));
  // Mended, the session is clean (the singular: check_command_test).
  EXPECT_EQ(check(), kCheckClean);
  EXPECT_EQ(out_.str(), "2 scenes, 3 takes, 2 selected takes, total selected duration 1:04\n");
  EXPECT_EQ(err_.str(), "");
}

// Read as export reads them; --fix cannot mend such a file and leaves it.
TEST_F(SessionCheckTest, SelectedTakesExportCannotReadAreListedWithTheReason) {
  probe_.unusable["scene-1-take-1.mov"] = "a named pipe, not a movie file";
  probe_.unusable["scene-1-take-2.mov"] = "not selected, so not asked";
  std::string before = readFile(folder_ / "manifest.json");
  EXPECT_EQ(check(true), kCheckFoundIssues);
  EXPECT_EQ(out_.str(), "Unusable takes:\nscene-1-take-1.mov: a named pipe, not a movie file\n");
  EXPECT_EQ(readFile(folder_ / "manifest.json"), before);
}

TEST(CheckArguments, FolderAndFixInEitherOrder) {
  std::string error;
  std::optional<CheckRequest> request = parseCheckArguments({"--fix", "a.vidorel"}, error);
  ASSERT_TRUE(request);
  EXPECT_TRUE(request->fix);
  EXPECT_EQ(request->folder, fs::path("a.vidorel"));
  EXPECT_FALSE(parseCheckArguments({"folder"}, error).value().fix);
  const std::pair<std::vector<std::string>, std::string> bad[] = {
      {{}, "no session folder given"},
      {{"a", "b"}, "more than one folder given"},
      {{"a", "--force"}, "unknown option \"--force\""}};
  for (const auto& [arguments, message] : bad) {
    EXPECT_FALSE(parseCheckArguments(arguments, error));
    EXPECT_EQ(error, message);
  }
}

} // namespace
} // namespace vidorel
