#include "model/session.h"

#include "fakes/session_builder.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {
namespace fs = std::filesystem;
using testing::TemporaryFolder;

Take takeNamed(const std::string& filename) {
  return testing::takeOf(filename, 10, 0, 10);
}

Take trimmed(double start, double end) {
  return testing::takeOf(Uuid::random().string() + ".mov", 10, start, end);
}

TEST(SelectedTakes, OnlyValidSelectionsCountWithTheirTrimmedLengths) {
  Session session("/tmp/s");
  EXPECT_EQ(session.totalSelectedDuration(), 0);
  session.scenes = {RecordingScene::make(), RecordingScene::make(), RecordingScene::make()};
  Take first = trimmed(1.5, 4.0), second = takeNamed("b.mov"), third = trimmed(0, 10);
  session.scenes[0].takes = {trimmed(0, 3), first};
  session.scenes[0].selectedTakeID = first.id;
  session.scenes[1].takes = {second};
  session.scenes[1].selectedTakeID = Uuid::random(); // names a take no longer there
  session.scenes[2].takes = {third};
  session.scenes[2].selectedTakeID = third.id;
  EXPECT_EQ(session.selectedTakes(), (std::vector<Take>{first, third}));
  EXPECT_DOUBLE_EQ(session.totalSelectedDuration(), 12.5);
}

TEST(RemoveTake, OnlyTheSelectedTakeTakesTheSelectionAlong) {
  RecordingScene scene = RecordingScene::make();
  Take a = takeNamed("a.mov"), b = takeNamed("b.mov"), c = takeNamed("c.mov");
  Take again = a; // the same id under another name goes too
  again.filename = "a2.mov";
  scene.takes = {a, b, c, again};
  scene.selectedTakeID = c.id;
  scene.removeTake(a.id);
  EXPECT_EQ(scene.takes, (std::vector<Take>{b, c}));
  EXPECT_EQ(scene.selectedTakeID, c.id);
  scene.removeTake(c.id);
  EXPECT_EQ(scene.takes, std::vector<Take>{b});
  EXPECT_FALSE(scene.selectedTakeID);
}

// One more than the largest number read from the last piece of the names
// split at hyphens, with every ".mov" taken out.
TEST(NextTakeNumber, FromTheNamesOfTheScenesTakes) {
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{}, 1},
      {{"scene-2-take-4.mov", "scene-2-take-1.mov"}, 5},
      {{"scene-1-take-3.mov", "scene-1-take-final.mov"}, 4},
      {{"scene-1-take-3a.mov"}, 1},
      {{"take-.mov12.mov"}, 13},
      {{"take-1.m.movov"}, 1}, // one pass: what is left around a removed ".mov" stays
      {{"take-+8.mov"}, 9},
      {{"E621E1F8-C36C-495A-93FC-000000000012.mov", "scene-1-take-2.mov"}, 13},
      // Numbers beyond an int are ignored rather than overflowing.
      {{"scene-1-take-2.mov", "scene-1-take-9223372036854775807.mov"}, 3},
      {{"scene-1-take-2147483647.mov"}, 1},
      {{"scene-1-take-2147483646.mov"}, 2147483647},
  };
  for (const auto& [filenames, next] : cases) {
    RecordingScene scene = RecordingScene::make();
    for (const std::string& filename : filenames)
      scene.takes.push_back(takeNamed(filename));
    EXPECT_EQ(scene.nextTakeNumber(), next) << ::testing::PrintToString(filenames);
  }
}

TEST(Duplicated, TakesGetNewIdsMappedNamesAndTheSelectionFollows) {
  RecordingScene scene = RecordingScene::make();
  Take a = trimmed(1, 4);
  a.name = "First";
  scene.takes = {a, trimmed(0.5, 9), takeNamed("scene-1-take-3.mov")};
  scene.selectedTakeID = scene.takes[1].id;
  RecordingScene before = scene;
  std::map<std::string, std::string> map = {{a.filename, "NEW-A.mov"}};

  RecordingScene copy = scene.duplicated(0, map);
  EXPECT_EQ(scene, before);
  EXPECT_NE(copy.id, scene.id);
  ASSERT_EQ(copy.takes.size(), 3u);
  EXPECT_EQ(copy.selectedTakeID, copy.takes[1].id);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_NE(copy.takes[i].id, scene.takes[i].id);
    Take same = copy.takes[i];
    same.id = scene.takes[i].id;
    same.filename = i == 0 ? a.filename : same.filename; // not in the map: kept
    EXPECT_EQ(same, scene.takes[i]);
  }
  EXPECT_EQ(copy.takes[0].filename, "NEW-A.mov");
}

TEST(ScratchFolders, AFreshUpperCaseFolderWithTakesAndTheActiveFolderRemoved) {
  std::error_code error;
  fs::path folder = Session::makeScratchDirectory(error);
  ASSERT_FALSE(error) << error.message();
  EXPECT_EQ(folder.parent_path(), fs::path(std::getenv("XDG_DATA_HOME")) / "Vidorel" / "Sessions");
  std::optional<Uuid> name = Uuid::parse(folder.filename().string());
  ASSERT_TRUE(name);
  EXPECT_EQ(name->string(), folder.filename().string());
  EXPECT_TRUE(fs::is_empty(folder / "takes"));
  EXPECT_NE(Session::makeScratchDirectory(error), folder);

  fs::path package = folder.parent_path() / "Recording.vidorel";
  fs::create_directories(package / "takes");
  Session session(folder);
  session.bundleURL = package;
  EXPECT_FALSE(session.removeSessionFolder());
  EXPECT_FALSE(fs::exists(package));
  EXPECT_TRUE(fs::exists(folder));
  session.bundleURL.reset();
  EXPECT_FALSE(session.removeSessionFolder());
  EXPECT_FALSE(fs::exists(folder));
}

TEST(UsableTakeFile, NeedsMoreThan1024Bytes) {
  TemporaryFolder temp("usable");
  testing::writeFile(temp.path() / "small.mov", std::string(1024, 'x'));
  testing::writeFile(temp.path() / "large.mov", std::string(1025, 'x'));
  EXPECT_FALSE(isUsableTakeFile(temp.path() / "small.mov"));
  EXPECT_TRUE(isUsableTakeFile(temp.path() / "large.mov"));
  EXPECT_FALSE(isUsableTakeFile(temp.path() / "missing.mov"));
  EXPECT_FALSE(isUsableTakeFile(temp.path()));
}

} // namespace
} // namespace vidorel
