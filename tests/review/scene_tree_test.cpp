#include "review/scene_tree.h"

#include "fakes/fake_scene_tree_commands.h"
#include "fakes/session_builder.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {
using testing::FakeSceneTreeCommands;
using testing::SessionBuilder;

// The rows as the tree shows them, one line per scene and per take.
std::string describe(const std::vector<SceneRowModel>& rows) {
  std::string text;
  for (const SceneRowModel& row : rows) {
    text += row.label + (row.isCurrent ? " current" : "") + (row.isSkipped ? " skipped" : "") +
            (row.canDelete ? " deletable" : "") + "\n";
    for (const TakeRowModel& take : row.takes) {
      EXPECT_EQ(take.sceneID, row.id);
      text += "  " + std::to_string(take.displayIndex) + " " + take.label + " " + take.length +
              " " + take.selectionSymbol() + (take.isPreviewing ? " previewing" : "") + "\n";
    }
  }
  return text;
}

std::vector<std::string> titles(const std::vector<SceneTreeMenuItem>& items) {
  std::vector<std::string> result;
  for (const SceneTreeMenuItem& item : items)
    result.push_back(item.title);
  return result;
}

// Labels, badges, lengths of the kept range; a scene with takes but no (or
// a stale) selection is skipped, an empty one is not; only two or more
// scenes offer deletion.
TEST(SceneTreeRows, LabelsBadgesSelectionLengthsAndDeletion) {
  SessionBuilder builder;
  int first = builder.scene();
  int second = builder.scene("Demo");
  builder.scene();
  Uuid a = builder.take(first, 2.4, 65.9);
  builder.select(first, builder.take(first, 0, 3, "Best")).current(1);
  builder.select(second, Uuid::random());
  builder.take(second, 0, 10);
  std::vector<SceneRowModel> rows = sceneTreeRows(builder.build(), a);
  EXPECT_EQ(describe(rows), "Scene 1 deletable\n"
                            "  1 Take 1 1:03 circle previewing\n"
                            "  2 Best 0:03 checkmark.circle.fill\n"
                            "Demo current skipped deletable\n"
                            "  1 Take 1 0:10 circle\n"
                            "Scene 3 deletable\n");
  EXPECT_EQ(titles(sceneContextMenu(rows[0])),
            (std::vector<std::string>{"Duplicate Scene", "Rename Scene", "Delete Scene"}));
  EXPECT_EQ(titles(takeContextMenu()), (std::vector<std::string>{"Rename Take", "Delete Take"}));

  SessionBuilder one;
  one.scene();
  rows = sceneTreeRows(one.build(), std::nullopt);
  EXPECT_EQ(describe(rows), "Scene 1 current\n");
  EXPECT_EQ(titles(sceneContextMenu(rows[0])),
            (std::vector<std::string>{"Duplicate Scene", "Rename Scene"}));
}

TEST(SceneTreePayloads, RoundTripAndForeignText) {
  Uuid scene = Uuid::random();
  Uuid take = Uuid::random();
  EXPECT_EQ(parseDragPayload(scenePayload(scene)), DragPayload(DraggedScene{scene}));
  EXPECT_EQ(parseDragPayload(takePayload(take, scene)), DragPayload(DraggedTake{take, scene}));

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

// A scene clicked becomes current and previews its last take (a scene
// without takes keeps the preview); a take clicked makes its scene current
// and previews itself. The selection button toggles between a take and
// none.
TEST_F(SceneTreeTest, ClicksSelectAndPreview) {
  tree.clickScene(s1);
  tree.clickScene(s2);
  tree.clickTake(s1, t2);
  tree.toggleTakeSelection(s1, t1);
  tree.toggleTakeSelection(s1, t2);
  EXPECT_EQ(commands.calls, (std::vector<std::string>{
                                "selectScene " + s1.string(), "selectScene " + s2.string(),
                                "selectScene " + s1.string(), "selectTake " + s1.string() + " none",
                                "selectTake " + s1.string() + " " + t2.string()}));
  EXPECT_EQ(previews, (std::vector<std::string>{
                          t3.string() + " /recordings/Talk.vidorel/takes/scene-1-take-3.mov",
                          t2.string() + " /recordings/Talk.vidorel/takes/scene-1-take-2.mov"}));
  EXPECT_TRUE(tree.take(t2)->isPreviewing);
  EXPECT_FALSE(tree.take(t3)->isPreviewing);
}

// The editor's rules are NameEditor's; the tree opens it on the current
// name, from its own calls or the menus', and an item deleted while being
// renamed closes it.
TEST_F(SceneTreeTest, RenamingAndMenuCommandsReachTheCoordinator) {
  tree.startRenaming({s3, std::nullopt});
  EXPECT_EQ(tree.editor().text(), "");
  tree.endRenaming(NameEditor::End::returnKey, "Finale");
  tree.runMenuCommand(SceneTreeMenuCommand::renameTake, s1, t3);
  EXPECT_EQ(tree.editor().text(), "Last");
  tree.endRenaming(NameEditor::End::focusLost, "");
  EXPECT_EQ(renamingChanges, (std::vector<bool>{true, false, true, false}));
  tree.runMenuCommand(SceneTreeMenuCommand::deleteScene, s2);
  tree.runMenuCommand(SceneTreeMenuCommand::renameScene, s2);
  EXPECT_EQ(tree.renameTarget(), (RenameTarget{s2, std::nullopt}));
  tree.runMenuCommand(SceneTreeMenuCommand::renameTake, s1, t2);
  EXPECT_EQ(tree.renameTarget(), (RenameTarget{s1, t2}));
  tree.runMenuCommand(SceneTreeMenuCommand::deleteTake, s1, t2);
  session.scenes[0].removeTake(t2);
  tree.setSession(session);
  EXPECT_FALSE(tree.isRenaming());
  tree.endRenaming(NameEditor::End::focusLost, "Ghost");
  EXPECT_EQ(commands.calls,
            (std::vector<std::string>{"renameScene " + s3.string() + " 'Finale'",
                                      "renameTake " + s1.string() + " " + t3.string() + " ''",
                                      "deleteScene " + s2.string(), "deleteTake " + t2.string()}));
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

// The only scene is never deleted; without a session the tree is empty and
// does nothing.
TEST_F(SceneTreeTest, TheOnlySceneIsNeverDeletedAndNoSessionEmptiesTheTree) {
  session.scenes.resize(1);
  tree.setSession(session);
  tree.deleteScene(s1);
  EXPECT_TRUE(commands.calls.empty());
  tree.setSession(std::nullopt);
  EXPECT_TRUE(tree.rows().empty());
  tree.clickScene(s1);
  tree.clickTake(s1, t1);
  EXPECT_TRUE(commands.calls.empty());
  EXPECT_TRUE(previews.empty());
}

} // namespace
} // namespace vidorel
