#include "model/session.h"

#include "base/xdg_paths.h"
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

TEST(SessionModel, NewSessionHasOneEmptyUnnamedScene) {
  Session session("/tmp/folder");
  ASSERT_EQ(session.scenes.size(), 1u);
  EXPECT_EQ(sceneLabel(session.scenes[0], 0), "Scene 1");
  EXPECT_FALSE(session.scenes[0].name);
  EXPECT_TRUE(session.scenes[0].takes.empty());
  EXPECT_FALSE(session.scenes[0].selectedTakeID);
  EXPECT_EQ(session.currentSceneIndex, 0);
  EXPECT_FALSE(session.isDirty);
  EXPECT_FALSE(session.bundleURL);
  EXPECT_EQ(session.scratchURL, fs::path("/tmp/folder"));
  EXPECT_FALSE(session.id.isNil());
  EXPECT_NE(session.id, session.scenes[0].id);
  EXPECT_NE(Session("/tmp/folder").id, session.id);
}

TEST(SelectedTakes, ScenesWithoutAValidSelectionContributeNothing) {
  Session session("/tmp/s");
  session.scenes = {RecordingScene::make(), RecordingScene::make(), RecordingScene::make()};
  Take first = takeNamed("scene-1-take-1.mov");
  Take second = takeNamed("scene-2-take-1.mov");
  Take third = takeNamed("scene-3-take-1.mov");
  session.scenes[0].takes = {takeNamed("scene-1-take-2.mov"), first};
  session.scenes[0].selectedTakeID = first.id;
  session.scenes[1].takes = {second};
  session.scenes[2].takes = {third};
  session.scenes[2].selectedTakeID = third.id;

  std::vector<Take> selected = session.selectedTakes();
  ASSERT_EQ(selected.size(), 2u);
  EXPECT_EQ(selected[0], first);
  EXPECT_EQ(selected[1], third);

  // A selection that names a take no longer in its scene is skipped too.
  session.scenes[1].selectedTakeID = Uuid::random();
  EXPECT_EQ(session.selectedTakes().size(), 2u);
  session.scenes[2].takes.clear();
  ASSERT_EQ(session.selectedTakes().size(), 1u);
  EXPECT_EQ(session.selectedTakes()[0], first);
}

TEST(SelectedTakes, TotalAddsTrimmedLengths) {
  Session session("/tmp/s");
  EXPECT_EQ(session.totalSelectedDuration(), 0);
  session.scenes = {RecordingScene::make(), RecordingScene::make()};
  Take a = trimmed(1.5, 4.0);
  Take b = trimmed(0, 10);
  session.scenes[0].takes = {a};
  session.scenes[0].selectedTakeID = a.id;
  session.scenes[1].takes = {b, trimmed(0, 3)};
  session.scenes[1].selectedTakeID = b.id;
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

  RecordingScene before = scene;
  scene.removeTake(Uuid::random());
  EXPECT_EQ(scene, before);

  scene.removeTake(c.id);
  EXPECT_EQ(scene.takes, std::vector<Take>{b});
  EXPECT_FALSE(scene.selectedTakeID);
}

int nextNumberFor(const std::vector<std::string>& filenames) {
  RecordingScene scene = RecordingScene::make();
  for (const std::string& filename : filenames)
    scene.takes.push_back(takeNamed(filename));
  return scene.nextTakeNumber();
}

// One more than the largest number read from the last piece of the names
// split at hyphens, with every ".mov" taken out.
TEST(NextTakeNumber, FromTheNamesOfTheScenesTakes) {
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{}, 1},
      {{"scene-1-take-1.mov", "scene-1-take-2.mov"}, 3},
      {{"scene-1-take-7.mov"}, 8},
      {{"scene-2-take-4.mov", "scene-2-take-1.mov"}, 5},
      {{"scene-5-take-2.mov"}, 3}, // a moved scene keeps its old number in the names
      // Unreadable pieces are ignored.
      {{"scene-1-take-x.mov"}, 1},
      {{"scene-1-take-3.mov", "scene-1-take-final.mov"}, 4},
      {{"scene-1-take-3a.mov"}, 1},
      {{"scene-1-take-.mov"}, 1},
      {{".mov"}, 1},
      {{""}, 1},
      // Trailing and doubled hyphens leave empty pieces that are dropped.
      {{"scene-1-take-6.mov-"}, 7},
      {{"scene--9--"}, 10},
      {{"take-4.mov.mov"}, 5},
      {{"take-.mov12.mov"}, 13},
      // Removal is one pass: what is left around a removed ".mov" stays.
      {{"take-1.m.movov"}, 1},
      {{"take-+8.mov"}, 9},
      {{"take-++8.mov"}, 1},
      // Copies named by a UUID count only when its last group is digits.
      {{"E621E1F8-C36C-495A-93FC-0C247A3E6E5F.mov"}, 1},
      {{"E621E1F8-C36C-495A-93FC-000000000012.mov", "scene-1-take-2.mov"}, 13},
      // Numbers beyond an int are ignored rather than overflowing.
      {{"scene-1-take-2.mov", "scene-1-take-9223372036854775807.mov"}, 3},
      {{"scene-1-take-99999999999999999999999.mov"}, 1},
      {{"scene-1-take-2147483647.mov"}, 1},
      {{"scene-1-take-2147483646.mov"}, 2147483647},
  };
  for (const auto& [filenames, next] : cases)
    EXPECT_EQ(nextNumberFor(filenames), next) << ::testing::PrintToString(filenames);
}

TEST(Duplicated, TakesGetNewIdsMappedNamesAndTheSelectionFollows) {
  RecordingScene scene = RecordingScene::make();
  Take a = trimmed(1, 4);
  a.name = "First";
  Take b = trimmed(0.5, 9);
  Take c = takeNamed("scene-1-take-3.mov");
  scene.takes = {a, b, c};
  scene.selectedTakeID = b.id;
  std::map<std::string, std::string> map = {{a.filename, "NEW-A.mov"}, {b.filename, "NEW-B.mov"}};

  RecordingScene copy = scene.duplicated(0, map);
  EXPECT_NE(copy.id, scene.id);
  ASSERT_EQ(copy.takes.size(), 3u);
  EXPECT_EQ(copy.takes[0].filename, "NEW-A.mov");
  EXPECT_EQ(copy.takes[1].filename, "NEW-B.mov");
  EXPECT_EQ(copy.takes[2].filename, "scene-1-take-3.mov"); // not in the map: kept
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_NE(copy.takes[i].id, scene.takes[i].id);
    EXPECT_EQ(copy.takes[i].duration, scene.takes[i].duration);
    EXPECT_EQ(copy.takes[i].recordedAt, scene.takes[i].recordedAt);
    EXPECT_EQ(copy.takes[i].name, scene.takes[i].name);
    EXPECT_EQ(copy.takes[i].trimStart, scene.takes[i].trimStart);
    EXPECT_EQ(copy.takes[i].trimEnd, scene.takes[i].trimEnd);
  }
  EXPECT_EQ(copy.selectedTakeID, copy.takes[1].id);
  // The source scene is untouched.
  EXPECT_EQ(scene.takes[0], a);
  EXPECT_EQ(scene.selectedTakeID, b.id);
}

TEST(ScratchFolders, MakeScratchDirectoryCreatesAFreshSessionFolderWithTakes) {
  std::error_code error;
  fs::path folder = Session::makeScratchDirectory(error);
  ASSERT_FALSE(error) << error.message();
  EXPECT_EQ(folder.parent_path(), scratchRoot());
  EXPECT_EQ(scratchRoot(), fs::path(std::getenv("XDG_DATA_HOME")) / "Vidorel" / "Sessions");
  std::optional<Uuid> name = Uuid::parse(folder.filename().string());
  ASSERT_TRUE(name);
  EXPECT_EQ(name->string(), folder.filename().string()); // upper-case
  EXPECT_TRUE(fs::is_directory(folder / "takes"));
  EXPECT_TRUE(fs::is_empty(folder / "takes"));

  fs::path another = Session::makeScratchDirectory(error);
  ASSERT_FALSE(error);
  EXPECT_NE(another, folder);
}

TEST(ScratchFolders, RemoveSessionFolderDeletesTheActiveFolder) {
  TemporaryFolder temp("remove");
  fs::path scratch = temp.path() / "scratch";
  fs::path package = temp.path() / "Recording.vidorel";
  fs::create_directories(scratch / "takes");
  fs::create_directories(package / "takes");
  testing::writeFile(package / "takes" / "scene-1-take-1.mov", "movie");

  Session session(scratch);
  session.bundleURL = package;
  EXPECT_FALSE(session.removeSessionFolder());
  EXPECT_FALSE(fs::exists(package));
  EXPECT_TRUE(fs::exists(scratch));

  session.bundleURL.reset();
  EXPECT_FALSE(session.removeSessionFolder());
  EXPECT_FALSE(fs::exists(scratch));
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
