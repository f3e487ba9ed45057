#include "review/scene_tree_view.h"

#include "fakes/fake_scene_tree_commands.h"
#include "fakes/session_builder.h"
#include "fakes/test_application.h"

#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

namespace vidorel {
namespace {
using testing::FakeSceneTreeCommands;
using testing::SessionBuilder;

::testing::Environment* const qt =
    ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment("offscreen"));

class SceneTreeViewTest : public ::testing::Test {
protected:
  void SetUp() override {
    int first = builder.scene();
    builder.scene();
    builder.scene();
    t1 = builder.take(first, 0, 5);
    t2 = builder.take(first, 2.4, 65.9);
    t3 = builder.take(first, 0, 7);
    builder.select(first, t1);
    session = builder.build();
    s1 = session.scenes[0].id;
    s2 = session.scenes[1].id;
    s3 = session.scenes[2].id;
    commands = std::make_shared<FakeSceneTreeCommands>();
    commands->session = &session;
    view = std::make_unique<SceneTreeView>(commands);
    commands->published = [this] { view->setSession(session); };
    view->logic().onSelectTakeForPreview = [this](const Uuid& id, const std::filesystem::path&) {
      previewed.push_back(id);
    };
    view->resize(300, 400);
    view->setSession(session);
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
  }

  // Lets deferred rebuilds and editor focus run.
  static void settle() {
    for (int i = 0; i < 3; ++i)
      QCoreApplication::processEvents();
  }

  QMenu* openContextMenu(QWidget* row) {
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), row->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(row, &event);
    return view->lastContextMenu();
  }

  static QStringList actionTitles(QMenu* menu) {
    QStringList titles;
    for (QAction* action : menu->actions())
      titles << action->text();
    return titles;
  }

  static QAction* action(QMenu* menu, const QString& title) {
    for (QAction* action : menu->actions())
      if (action->text() == title)
        return action;
    return nullptr;
  }

  SessionBuilder builder;
  Session session;
  std::shared_ptr<FakeSceneTreeCommands> commands;
  std::unique_ptr<SceneTreeView> view;
  std::vector<Uuid> previewed;
  Uuid s1, s2, s3, t1, t2, t3;
};

TEST_F(SceneTreeViewTest, RowsShowLabelsBadgesLengthsAndTrashButtons) {
  ASSERT_EQ(view->topLevelItemCount(), 3);
  EXPECT_EQ(view->sceneHeader(s3)->nameLabel()->text(), "Scene 3");
  EXPECT_TRUE(view->sceneHeader(s1)->nameLabel()->font().bold());
  EXPECT_FALSE(view->sceneHeader(s2)->nameLabel()->font().bold());
  EXPECT_TRUE(view->sceneItem(s1)->isExpanded());
  EXPECT_EQ(view->sceneItem(s1)->childCount(), 3);
  EXPECT_EQ(view->takeRow(t2)->nameLabel()->text(), "Take 2");
  EXPECT_EQ(view->takeRow(t2)->lengthLabel()->text(), "1:03");
  EXPECT_EQ(view->takeRow(t1)->selectButton()->property("symbol"), "checkmark.circle.fill");
  EXPECT_EQ(view->takeRow(t2)->selectButton()->property("symbol"), "circle");
  // Empty scenes never show "skipped".
  EXPECT_TRUE(view->sceneHeader(s2)->skippedLabel()->isHidden());
  for (const Uuid& id : {s1, s2, s3}) {
    ASSERT_NE(view->sceneHeader(id)->trashButton(), nullptr);
    EXPECT_EQ(view->sceneHeader(id)->trashButton()->toolTip(), "Delete scene");
  }

  session.scenes.resize(1);
  view->setSession(session);
  EXPECT_EQ(view->sceneHeader(s1)->trashButton(), nullptr);
  EXPECT_EQ(actionTitles(openContextMenu(view->sceneHeader(s1))),
            (QStringList{"Duplicate Scene", "Rename Scene"}));
}

TEST_F(SceneTreeViewTest, CheckmarkOfTheSelectedTakeSkipsTheScene) {
  QTest::mouseClick(view->takeRow(t1)->selectButton(), Qt::LeftButton);
  settle();
  EXPECT_EQ(commands->calls.back(), "selectTake " + s1.string() + " none");
  EXPECT_FALSE(view->sceneHeader(s1)->skippedLabel()->isHidden());
  EXPECT_EQ(view->takeRow(t1)->selectButton()->property("symbol"), "circle");

  QTest::mouseClick(view->takeRow(t3)->selectButton(), Qt::LeftButton);
  settle();
  EXPECT_EQ(commands->calls.back(), "selectTake " + s1.string() + " " + t3.string());
  EXPECT_TRUE(view->sceneHeader(s1)->skippedLabel()->isHidden());
  EXPECT_EQ(view->takeRow(t3)->selectButton()->property("symbol"), "checkmark.circle.fill");
}

TEST_F(SceneTreeViewTest, ClickingAHeaderPreviewsItsLastTakeAndTintsIt) {
  session.currentSceneIndex = 1;
  view->setSession(session);
  QTest::mouseClick(view->sceneHeader(s1), Qt::LeftButton, {}, QPoint(60, 8));
  settle();
  EXPECT_EQ(commands->calls, (std::vector<std::string>{"selectScene " + s1.string()}));
  EXPECT_EQ(previewed, (std::vector<Uuid>{t3}));
  EXPECT_TRUE(view->takeRow(t3)->isPreviewing());
  EXPECT_TRUE(view->sceneHeader(s1)->isCurrent());

  QTest::mouseClick(view->sceneHeader(s2), Qt::LeftButton, {}, QPoint(60, 8));
  settle();
  EXPECT_EQ(previewed.size(), 1u);

  QTest::mouseClick(view->takeRow(t1)->nameLabel(), Qt::LeftButton);
  settle();
  EXPECT_EQ(previewed.back(), t1);
  EXPECT_TRUE(view->takeRow(t1)->isPreviewing());
  EXPECT_FALSE(view->takeRow(t3)->isPreviewing());
}

TEST_F(SceneTreeViewTest, DeleteButtonAppearsOnlyWhileHovering) {
  TakeRowWidget* row = view->takeRow(t2);
  EXPECT_TRUE(row->deleteButton()->isHidden());
  QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), row->mapToGlobal(QPointF(5, 5)));
  QApplication::sendEvent(row, &enter);
  EXPECT_TRUE(row->isHovering());
  EXPECT_FALSE(row->deleteButton()->isHidden());
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(row, &leave);
  EXPECT_TRUE(row->deleteButton()->isHidden());

  QApplication::sendEvent(row, &enter);
  QTest::mouseClick(row->deleteButton(), Qt::LeftButton);
  settle();
  EXPECT_EQ(commands->calls.back(), "deleteTake " + t2.string());
  EXPECT_EQ(view->takeRow(t2), nullptr);
  EXPECT_EQ(view->takeRow(t3)->nameLabel()->text(), "Take 2");
}

TEST_F(SceneTreeViewTest, DoubleClickRenamesWithReturnAndSpaceGoesIntoTheName) {
  std::vector<bool> renaming;
  QObject::connect(view.get(), &SceneTreeView::renamingChanged,
                   [&](bool on) { renaming.push_back(on); });
  QTest::mouseDClick(view->sceneHeader(s3), Qt::LeftButton, {}, QPoint(60, 8));
  settle();
  InlineNameEditor* editor = view->sceneHeader(s3)->editor();
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(editor->text(), "");
  EXPECT_EQ(editor->width(), 140);
  EXPECT_TRUE(view->logic().isRenaming());
  QTest::keyClicks(editor, "The End");
  EXPECT_EQ(editor->text(), "The End");
  QTest::keyClick(editor, Qt::Key_Return);
  settle();
  EXPECT_EQ(commands->calls.back(), "renameScene " + s3.string() + " 'The End'");
  EXPECT_EQ(view->sceneHeader(s3)->editor(), nullptr);
  EXPECT_EQ(view->sceneHeader(s3)->nameLabel()->text(), "The End");
  EXPECT_EQ(renaming, (std::vector<bool>{true, false}));
  EXPECT_EQ(std::count_if(commands->calls.begin(), commands->calls.end(),
                          [](const std::string& call) { return call.starts_with("rename"); }),
            1);
}

TEST_F(SceneTreeViewTest, EscapeKeepsTheOldName) {
  session.scenes[0].takes[1].name = "Keeper";
  view->setSession(session);
  QTest::mouseDClick(view->takeRow(t2)->nameLabel(), Qt::LeftButton);
  settle();
  InlineNameEditor* editor = view->takeRow(t2)->editor();
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(editor->text(), "Keeper");
  EXPECT_EQ(editor->width(), 120);
  EXPECT_TRUE(editor->hasFocus());
  EXPECT_EQ(editor->selectedText(), "Keeper");
  QTest::keyClicks(editor, "Other");
  QTest::keyClick(editor, Qt::Key_Escape);
  settle();
  EXPECT_TRUE(commands->calls.empty());
  EXPECT_EQ(view->takeRow(t2)->editor(), nullptr);
  EXPECT_EQ(view->takeRow(t2)->nameLabel()->text(), "Keeper");
  EXPECT_FALSE(view->logic().isRenaming());
}

TEST_F(SceneTreeViewTest, FocusLeavingTheEditorCommitsAndARepublishKeepsTheTypedText) {
  QTest::mouseDClick(view->takeRow(t1)->nameLabel(), Qt::LeftButton);
  settle();
  QTest::keyClicks(view->takeRow(t1)->editor(), "Draft");
  // Something else publishes the session while the name is being typed.
  view->setSession(session);
  settle();
  InlineNameEditor* editor = view->takeRow(t1)->editor();
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(editor->text(), "Draft");
  EXPECT_TRUE(commands->calls.empty());
  EXPECT_TRUE(editor->hasFocus());

  view->setFocus();
  editor->clearFocus();
  settle();
  EXPECT_EQ(commands->calls, (std::vector<std::string>{"renameTake " + s1.string() + " " +
                                                       t1.string() + " 'Draft'"}));
}

TEST_F(SceneTreeViewTest, TypingGoesOnAcrossRepublishesUntilReturn) {
  QTest::mouseDClick(view->sceneHeader(s2), Qt::LeftButton, {}, QPoint(60, 8));
  settle();
  ASSERT_NE(view->sceneHeader(s2)->editor(), nullptr);
  // Keys go wherever the keyboard focus is, as the user's keys do.
  auto type = [](const char* text) {
    QWidget* focused = QApplication::focusWidget();
    ASSERT_NE(focused, nullptr);
    QTest::keyClicks(focused, text);
  };
  type("Opening");
  view->setSession(session);
  settle();
  type(" Remarks");
  // Twice more, one with the cursor moved back into the text.
  view->setSession(session);
  settle();
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Left);
  view->setSession(session);
  settle();
  type("!");
  InlineNameEditor* editor = view->sceneHeader(s2)->editor();
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(editor->text(), "Opening Remark!s");
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  settle();
  EXPECT_EQ(commands->calls,
            (std::vector<std::string>{"renameScene " + s2.string() + " 'Opening Remark!s'"}));
  EXPECT_EQ(view->sceneHeader(s2)->nameLabel()->text(), "Opening Remark!s");

  // A new rename after the republishes still starts with all of its text
  // selected.
  QTest::mouseDClick(view->sceneHeader(s2)->nameLabel(), Qt::LeftButton);
  settle();
  ASSERT_NE(view->sceneHeader(s2)->editor(), nullptr);
  EXPECT_EQ(view->sceneHeader(s2)->editor()->selectedText(), "Opening Remark!s");
}

TEST_F(SceneTreeViewTest, ContextMenusRunTheirCommands) {
  QMenu* menu = openContextMenu(view->sceneHeader(s2));
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(actionTitles(menu), (QStringList{"Duplicate Scene", "Rename Scene", "Delete Scene"}));
  action(menu, "Duplicate Scene")->trigger();
  menu = openContextMenu(view->sceneHeader(s2));
  action(menu, "Delete Scene")->trigger();
  menu = openContextMenu(view->takeRow(t3));
  EXPECT_EQ(actionTitles(menu), (QStringList{"Rename Take", "Delete Take"}));
  action(menu, "Delete Take")->trigger();
  settle();
  EXPECT_EQ(commands->calls,
            (std::vector<std::string>{"duplicateScene " + s2.string(), "deleteScene " + s2.string(),
                                      "deleteTake " + t3.string()}));

  menu = openContextMenu(view->takeRow(t1));
  action(menu, "Rename Take")->trigger();
  settle();
  EXPECT_NE(view->takeRow(t1)->editor(), nullptr);
}

TEST_F(SceneTreeViewTest, DropsOnRowsMoveTakesAndScenes) {
  auto dropText = [](QWidget* row, const std::string& text) {
    QMimeData data;
    data.setText(QString::fromStdString(text));
    QPoint at(10, 5);
    QDragEnterEvent enter(at, Qt::MoveAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(row, &enter);
    bool accepted = enter.isAccepted();
    QDropEvent drop(QPointF(at), Qt::MoveAction, &data, Qt::LeftButton, {});
    QApplication::sendEvent(row, &drop);
    settle();
    return accepted;
  };
  // A take dropped on its own scene, a scene on itself, foreign text.
  EXPECT_TRUE(dropText(view->takeRow(t2), takePayload(t1, s1)));
  dropText(view->sceneHeader(s2), scenePayload(s2));
  dropText(view->sceneHeader(s2), "hello");
  EXPECT_TRUE(commands->calls.empty());

  dropText(view->sceneHeader(s3), takePayload(t1, s1));
  dropText(view->sceneHeader(s1), scenePayload(s3));
  EXPECT_EQ(commands->calls,
            (std::vector<std::string>{"moveTake " + t1.string() + " " + s3.string(),
                                      "moveScene " + s3.string() + " " + s1.string()}));
}

TEST_F(SceneTreeViewTest, CollapsedScenesStayCollapsedAcrossRebuilds) {
  view->sceneItem(s1)->setExpanded(false);
  view->setSession(session);
  EXPECT_FALSE(view->sceneItem(s1)->isExpanded());
  EXPECT_TRUE(view->sceneItem(s2)->isExpanded());
}

} // namespace
} // namespace vidorel
