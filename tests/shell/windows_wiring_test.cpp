#include "export/export_summary_view.h"
#include "review/scene_tree_view.h"
#include "shortcuts/key_positions.h"
#include "shortcuts/settings_view.h"

#include "fakes/test_application.h"
#include "workflow/workflow_fixture.h"

#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

namespace vidorel {
namespace {

::testing::Environment* const qt =
    ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment("offscreen"));

// The scene tree, export summary and settings windows over the real coordinator.
class WindowsWiringTest : public testing::WorkflowTest {
protected:
  void SetUp() override {
    start();
    openSessionWithoutTake();
    // Three scenes; the first with two takes, the second selected.
    manager->updateSession([](Session& session) {
      session.scenes.push_back(RecordingScene::make());
      session.scenes.push_back(RecordingScene::make());
      for (int i = 1; i <= 2; ++i)
        session.scenes[0].takes.push_back(Take::make(
            Uuid::random(), "scene-1-take-" + std::to_string(i) + ".mov", 10.0 * i, Timestamp{}));
      session.scenes[0].selectedTakeID = session.scenes[0].takes[1].id;
    });
    calls.clear();
  }

  static void settle() {
    for (int i = 0; i < 3; ++i)
      QCoreApplication::processEvents();
  }
};

// The widgets turn gestures into the coordinator's edits and follow what it
// publishes (the rules: SceneTree's tests).
TEST_F(WindowsWiringTest, SceneTreeGesturesEditTheSessionAndTheSummaryFollows) {
  std::unique_ptr<SceneTreeView> tree(makeSceneTreeView(*manager));
  std::unique_ptr<QWidget> window(makeExportSummaryWindow(*manager));
  auto* summary = qobject_cast<ExportSummaryView*>(window.get());
  ASSERT_NE(summary, nullptr);
  summary->show();
  tree->show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(tree.get()));
  EXPECT_EQ(summary->rowTexts(0), (QStringList{"Scene 1", "Take 2", "0:20"}));
  const Uuid third = session().scenes[2].id;

  QTest::mouseClick(tree->sceneHeader(third), Qt::LeftButton, {}, QPoint(60, 8));
  settle();
  EXPECT_EQ(session().currentSceneIndex, 2);
  EXPECT_TRUE(tree->sceneHeader(third)->isCurrent());
  QTest::mouseClick(tree->takeRow(session().scenes[0].takes[1].id)->selectButton(), Qt::LeftButton);
  settle();
  EXPECT_FALSE(session().scenes[0].selectedTakeID);
  EXPECT_EQ(summary->rowTexts(0), (QStringList{"Scene 1", QString::fromUtf8("— skipped —")}));
  EXPECT_FALSE(summary->exportButton()->isEnabled());

  // Typing (and the cursor) survive a republish; Escape keeps the name.
  QTest::mouseDClick(tree->sceneHeader(third)->nameLabel(), Qt::LeftButton);
  auto editor = [&] { return tree->sceneHeader(third)->editor(); };
  settle();
  ASSERT_NE(editor(), nullptr);
  QTest::keyClicks(editor(), "Finle");
  manager->updateSession([](Session&) {});
  settle();
  ASSERT_NE(editor(), nullptr);
  QTest::keyClick(editor(), Qt::Key_Left);
  QTest::keyClick(editor(), Qt::Key_Left);
  QTest::keyClicks(editor(), "a");
  EXPECT_EQ(editor()->text(), "Finale");
  QTest::keyClick(editor(), Qt::Key_Escape);
  settle();
  EXPECT_FALSE(session().scenes[2].name);
  EXPECT_EQ(editor(), nullptr);

  // A context menu's item runs.
  QWidget* header = tree->sceneHeader(third);
  QContextMenuEvent menu(QContextMenuEvent::Mouse, QPoint(5, 5), header->mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(header, &menu);
  for (QAction* action : tree->lastContextMenu()->actions())
    if (action->text() == "Duplicate Scene")
      action->trigger();
  settle();
  EXPECT_EQ(tree->topLevelItemCount(), 4);

  summary->cancelButton()->click();
  EXPECT_TRUE(calls.contains("dismiss export"));
}

// Keys, warnings and buttons reach the coordinator and back; no hot key
// works while a row listens.
TEST_F(WindowsWiringTest, SettingsRecordsIntoTheCoordinatorsBindings) {
  std::unique_ptr<QWidget> window(makeSettingsWindow(*manager, shortcuts, usKeyboardLayout()));
  auto* settings = qobject_cast<SettingsView*>(window.get());
  ASSERT_NE(settings, nullptr);
  settings->show();
  EXPECT_EQ(settings->recorder(ShortcutAction::startPause)->text(), "Ctrl+Shift+Space");
  ShortcutRecorderView* recorder = settings->recorder(ShortcutAction::export_);
  QLabel* warning = settings->warning(ShortcutAction::export_);
  EXPECT_TRUE(warning->isHidden());
  QTest::mouseClick(recorder, Qt::LeftButton);
  EXPECT_EQ(recorder->text(), "Press shortcut…");
  EXPECT_TRUE(shortcuts.registered.empty());
  // X key 191 is F13 of the X keymap: no key position.
  QKeyEvent f13(QEvent::KeyPress, Qt::Key_F13, Qt::ControlModifier, 191, 0, 0);
  QApplication::sendEvent(recorder, &f13);
  EXPECT_EQ(warning->text(), "This key cannot be part of a shortcut");
  QTest::keyClick(recorder, Qt::Key_R, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_TRUE(recorder->isRecording());
  EXPECT_FALSE(warning->isHidden());
  EXPECT_EQ(warning->text(), "Already used by Retake");
  std::filesystem::create_directories(VIDOREL_ARTIFACTS_DIR);
  settings->grab().save(VIDOREL_ARTIFACTS_DIR "/settings.png");
  QTest::keyClick(recorder, Qt::Key_K, Qt::ControlModifier);
  EXPECT_EQ(manager->shortcutBindings().at(ShortcutAction::export_).carbonKeyCode, kVK_ANSI_K);
  EXPECT_EQ(recorder->text(), "Ctrl+K");
  EXPECT_EQ(warning->text(), "May conflict with other apps during presentation");
  EXPECT_EQ(shortcuts.registered.size(), 4u);

  settings->restoreDefaultsButton()->click();
  EXPECT_EQ(manager->shortcutBindings().at(ShortcutAction::export_),
            defaultBinding(ShortcutAction::export_));
  EXPECT_EQ(recorder->text(), "Ctrl+Shift+E");
  settings->updatesToggle()->click();
  EXPECT_FALSE(manager->automaticallyChecksForUpdates());

  // Closing the window while a row listens brings the hot keys back.
  QTest::mouseClick(recorder, Qt::LeftButton);
  EXPECT_TRUE(shortcuts.registered.empty());
  window.reset();
  EXPECT_EQ(shortcuts.registered.size(), 4u);
}

} // namespace
} // namespace vidorel
