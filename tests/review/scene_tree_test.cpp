#include "review/scene_tree.h"

#include "fakes/fake_scene_tree_commands.h"
#include "fakes/session_builder.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {
using testing::FakeSceneTreeCommands;
using testing::SessionBuilder;

std::vector<std::string> titles(const std::vector<SceneTreeMenuItem>& items) {
  std::vector<std::string> result;
  for (const SceneTreeMenuItem& item : items)
    result.push_back(item.title);
  return result;
}

TEST(SceneTreeRows, LabelsBadgesSelectionAndLengths) {
  SessionBuilder builder;
  int first = builder.scene();
  int second = builder.scene("Demo");
  builder.scene();
  Uuid a = builder.take(first, 2.4, 65.9);
  Uuid b = builder.take(first, 0, 3, "Best");
  builder.take(second, 0, 10);
  builder.select(first, b).current(1);

  std::vector<SceneRowModel> rows = sceneTreeRows(builder.build(), a);

  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].label, "Scene 1");
  EXPECT_EQ(rows[1].label, "Demo");
  EXPECT_EQ(rows[2].label, "Scene 3");
  EXPECT_FALSE(rows[0].isCurrent);
  EXPECT_TRUE(rows[1].isCurrent);
  // Scene 2 has a take but no selection; the empty scene 3 shows nothing.
  EXPECT_FALSE(rows[0].isSkipped);
  EXPECT_TRUE(rows[1].isSkipped);
  EXPECT_FALSE(rows[2].isSkipped);

  ASSERT_EQ(rows[0].takes.size(), 2u);
  const TakeRowModel& trimmed = rows[0].takes[0];
  EXPECT_EQ(trimmed.label, "Take 1");
  EXPECT_EQ(trimmed.length, "1:03");
  EXPECT_FALSE(trimmed.isSelected);
  EXPECT_TRUE(trimmed.isPreviewing);
  EXPECT_STREQ(trimmed.selectionSymbol(), "circle");
  EXPECT_EQ(trimmed.sceneID, rows[0].id);
  const TakeRowModel& best = rows[0].takes[1];
  EXPECT_EQ(best.label, "Best");
  EXPECT_EQ(best.displayIndex, 2);
  EXPECT_TRUE(best.isSelected);
  EXPECT_FALSE(best.isPreviewing);
  EXPECT_STREQ(best.selectionSymbol(), "checkmark.circle.fill");
}

TEST(SceneTreeRows, StaleSelectionShowsSkipped) {
  SessionBuilder builder;
  int scene = builder.scene();
  builder.take(scene, 0, 4);
  builder.select(scene, Uuid::random());
  std::vector<SceneRowModel> rows = sceneTreeRows(builder.build(), std::nullopt);
  EXPECT_TRUE(rows[0].isSkipped);
  EXPECT_FALSE(rows[0].takes[0].isSelected);
}

TEST(SceneTreeRows, OnlyTwoOrMoreScenesOfferDeletion) {
  SessionBuilder one;
  one.scene();
  std::vector<SceneRowModel> single = sceneTreeRows(one.build(), std::nullopt);
  EXPECT_FALSE(single[0].canDelete);
  EXPECT_EQ(titles(sceneContextMenu(single[0])),
            (std::vector<std::string>{"Duplicate Scene", "Rename Scene"}));

  SessionBuilder two;
  two.scene();
  two.scene();
  std::vector<SceneRowModel> pair = sceneTreeRows(two.build(), std::nullopt);
  for (const SceneRowModel& row : pair) {
    EXPECT_TRUE(row.canDelete);
    EXPECT_EQ(titles(sceneContextMenu(row)),
              (std::vector<std::string>{"Duplicate Scene", "Rename Scene", "Delete Scene"}));
  }
  EXPECT_EQ(titles(takeContextMenu()), (std::vector<std::string>{"Rename Take", "Delete Take"}));
}

TEST(SceneTreePayloads, RoundTripAndForeignText) {
  Uuid scene = Uuid::random();
  Uuid take = Uuid::random();
  EXPECT_EQ(scenePayload(scene), scene.string());
  EXPECT_EQ(takePayload(take, scene), take.string() + "|" + scene.string());
  EXPECT_EQ(parseDragPayload(scenePayload(scene)), DragPayload(DraggedScene{scene}));
  EXPECT_EQ(parseDragPayload(takePayload(take, scene)), DragPayload(DraggedTake{take, scene}));

  // Lower case is the same UUID.
  std::string lower = scene.string();
  for (char& c : lower)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(parseDragPayload(lower), DragPayload(DraggedScene{scene}));

  for (std::string foreign :
       {std::string(), std::string("|"), std::string("hello"), scene.string() + "|",
        "|" + scene.string(), take.string() + "|" + scene.string() + "|" + scene.string(),
        take.string() + "|nope", " " + scene.string(), scene.string() + "\n"})
    EXPECT_FALSE(parseDragPayload(foreign)) << foreign;
}

TEST(NameEditorRules, ReturnCommitsOnceEscapeNever) {
  NameEditor editor;
  editor.start(std::nullopt);
  EXPECT_TRUE(editor.isEditing());
  EXPECT_EQ(editor.text(), "");
  EXPECT_EQ(editor.end(NameEditor::End::returnKey, "Intro"), "Intro");
  // The focus leaving the closing editor reports the end once more.
  EXPECT_EQ(editor.end(NameEditor::End::focusLost, "Intro"), std::nullopt);

  editor.start(std::string("Intro"));
  EXPECT_EQ(editor.text(), "Intro");
  editor.cancel();
  EXPECT_FALSE(editor.isEditing());
  EXPECT_EQ(editor.end(NameEditor::End::focusLost, "Intr"), std::nullopt);

  editor.start(std::string("Intro"));
  EXPECT_EQ(editor.end(NameEditor::End::cancelMovement, "Other"), std::nullopt);
  EXPECT_EQ(editor.end(NameEditor::End::focusLost, "Other"), "Other");

  editor.start(std::string("Intro"));
  EXPECT_EQ(editor.end(NameEditor::End::focusLost, ""), "");
}

class SceneTreeTest : public ::testing::Test {
protected:
  SceneTreeTest() : tree(commands) {
    int first = builder.scene();
    builder.scene();
    int third = builder.scene();
    t1 = builder.take(first, 0, 5);
    t2 = builder.take(first, 0, 6);
    t3 = builder.take(first, 0, 7, "Last");
    builder.select(first, t1);
    session = builder.build();
    session.bundleURL = "/recordings/Talk.vidorel";
    s1 = session.scenes[0].id;
    s2 = session.scenes[1].id;
    s3 = session.scenes[third].id;
    commands.session = &session;
    commands.published = [this] { tree.setSession(session); };
    tree.setSession(session);
    tree.onSelectTakeForPreview = [this](const Uuid& id, const std::filesystem::path& file) {
      previews.push_back(id.string() + " " + file.string());
    };
    tree.onRenamingChanged = [this](bool on) { renamingChanges.push_back(on); };
  }

  SessionBuilder builder;
  Session session;
  FakeSceneTreeCommands commands;
  SceneTree tree;
  Uuid s1, s2, s3, t1, t2, t3;
  std::vector<std::string> previews;
  std::vector<bool> renamingChanges;
};

TEST_F(SceneTreeTest, ClickingASceneSelectsItAndPreviewsItsLastTake) {
  tree.clickScene(s1);
  EXPECT_EQ(commands.calls, (std::vector<std::string>{"selectScene " + s1.string()}));
  EXPECT_EQ(previews, (std::vector<std::string>{
                          t3.string() + " /recordings/Talk.vidorel/takes/scene-1-take-3.mov"}));
  EXPECT_EQ(tree.previewingTakeID(), t3);
  EXPECT_TRUE(tree.take(t3)->isPreviewing);
  EXPECT_TRUE(tree.scene(s1)->isCurrent);

  tree.clickScene(s2);
  EXPECT_EQ(commands.calls.back(), "selectScene " + s2.string());
  EXPECT_EQ(previews.size(), 1u);
  EXPECT_EQ(tree.previewingTakeID(), t3);
}

TEST_F(SceneTreeTest, ClickingATakeMakesItsSceneCurrentAndPreviewsIt) {
  session.currentSceneIndex = 2;
  tree.setSession(session);
  tree.clickTake(s1, t2);
  EXPECT_EQ(commands.calls, (std::vector<std::string>{"selectScene " + s1.string()}));
  EXPECT_EQ(session.currentSceneIndex, 0);
  EXPECT_EQ(previews, (std::vector<std::string>{
                          t2.string() + " /recordings/Talk.vidorel/takes/scene-1-take-2.mov"}));
  EXPECT_TRUE(tree.take(t2)->isPreviewing);
  EXPECT_FALSE(tree.take(t3)->isPreviewing);
}

TEST_F(SceneTreeTest, SelectionButtonTogglesBetweenTakesAndSkipped) {
  tree.toggleTakeSelection(s1, t1);
  EXPECT_EQ(commands.calls.back(), "selectTake " + s1.string() + " none");
  EXPECT_TRUE(tree.scene(s1)->isSkipped);

  tree.toggleTakeSelection(s1, t2);
  EXPECT_EQ(commands.calls.back(), "selectTake " + s1.string() + " " + t2.string());
  EXPECT_FALSE(tree.scene(s1)->isSkipped);
  EXPECT_TRUE(tree.take(t2)->isSelected);

  tree.toggleTakeSelection(s1, t3);
  EXPECT_EQ(commands.calls.back(), "selectTake " + s1.string() + " " + t3.string());
  EXPECT_FALSE(tree.take(t2)->isSelected);
}

TEST_F(SceneTreeTest, RenamingToEmptyRestoresTheDefaultLabel) {
  tree.startRenaming({s3, std::nullopt});
  EXPECT_TRUE(tree.isRenaming());
  EXPECT_EQ(tree.editor().text(), "");
  tree.endRenaming(NameEditor::End::returnKey, "Finale");
  EXPECT_EQ(tree.scene(s3)->label, "Finale");
  EXPECT_FALSE(tree.isRenaming());

  tree.startRenaming({s3, std::nullopt});
  EXPECT_EQ(tree.editor().text(), "Finale");
  tree.endRenaming(NameEditor::End::focusLost, "");
  EXPECT_EQ(commands.calls.back(), "renameScene " + s3.string() + " ''");
  EXPECT_EQ(tree.scene(s3)->label, "Scene 3");
  EXPECT_EQ(renamingChanges, (std::vector<bool>{true, false, true, false}));
}

TEST_F(SceneTreeTest, EscapeKeepsTheOldNameAndTheFollowingFocusLossDoesNotRename) {
  tree.startRenaming({s1, t3});
  EXPECT_EQ(tree.editor().text(), "Last");
  tree.cancelRenaming();
  tree.endRenaming(NameEditor::End::focusLost, "Las");
  EXPECT_TRUE(commands.calls.empty());
  EXPECT_EQ(tree.take(t3)->label, "Last");
  EXPECT_FALSE(tree.isRenaming());
  EXPECT_EQ(renamingChanges, (std::vector<bool>{true, false}));

  tree.startRenaming({s1, t3});
  tree.endRenaming(NameEditor::End::returnKey, "Final cut");
  tree.endRenaming(NameEditor::End::focusLost, "Final cut");
  EXPECT_EQ(commands.calls, (std::vector<std::string>{"renameTake " + s1.string() + " " +
                                                      t3.string() + " 'Final cut'"}));
  EXPECT_EQ(tree.take(t3)->label, "Final cut");
}

TEST_F(SceneTreeTest, DeletingTheTakeBeingRenamedClosesTheEditor) {
  tree.startRenaming({s1, t2});
  tree.deleteTake(t2);
  EXPECT_FALSE(tree.isRenaming());
  tree.endRenaming(NameEditor::End::focusLost, "Ghost");
  EXPECT_EQ(commands.calls, (std::vector<std::string>{"deleteTake " + t2.string()}));
}

TEST_F(SceneTreeTest, MenuCommandsReachTheCoordinator) {
  tree.runMenuCommand(SceneTreeMenuCommand::duplicateScene, s2);
  tree.runMenuCommand(SceneTreeMenuCommand::deleteScene, s2);
  tree.runMenuCommand(SceneTreeMenuCommand::deleteTake, s1, t1);
  EXPECT_EQ(commands.calls,
            (std::vector<std::string>{"duplicateScene " + s2.string(), "deleteScene " + s2.string(),
                                      "deleteTake " + t1.string()}));
  tree.runMenuCommand(SceneTreeMenuCommand::renameTake, s1, t2);
  EXPECT_EQ(tree.renameTarget(), (RenameTarget{s1, t2}));
  tree.runMenuCommand(SceneTreeMenuCommand::renameScene, s2);
  EXPECT_EQ(tree.renameTarget(), (RenameTarget{s2, std::nullopt}));
}

TEST_F(SceneTreeTest, TheOnlySceneIsNeverDeleted) {
  session.scenes.resize(1);
  tree.setSession(session);
  tree.deleteScene(s1);
  EXPECT_TRUE(commands.calls.empty());
}

TEST_F(SceneTreeTest, DropsMoveScenesAndTakesButNotOntoThemselves) {
  EXPECT_FALSE(tree.drop(s1, takePayload(t1, s1)));
  EXPECT_FALSE(tree.drop(s2, scenePayload(s2)));
  EXPECT_FALSE(tree.drop(s2, "file:///home/me/movie.mov"));
  EXPECT_TRUE(commands.calls.empty());

  EXPECT_TRUE(tree.drop(s3, takePayload(t1, s1)));
  EXPECT_TRUE(tree.drop(s1, scenePayload(s3)));
  EXPECT_EQ(commands.calls,
            (std::vector<std::string>{"moveTake " + t1.string() + " " + s3.string(),
                                      "moveScene " + s3.string() + " " + s1.string()}));
}

TEST_F(SceneTreeTest, NoSessionEmptiesTheTree) {
  tree.setSession(std::nullopt);
  EXPECT_TRUE(tree.rows().empty());
  tree.clickScene(s1);
  tree.clickTake(s1, t1);
  EXPECT_TRUE(commands.calls.empty());
  EXPECT_TRUE(previews.empty());
}

} // namespace
} // namespace vidorel
