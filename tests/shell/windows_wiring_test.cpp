#include "export/export_summary_view.h"
#include "fakes/fake_player.h"
#include "review/review_window_view.h"
#include "review/scene_tree_view.h"
#include "review/trim_bar_view.h"
#include "shortcuts/key_positions.h"
#include "shortcuts/settings_view.h"

#include "fakes/test_application.h"
#include "workflow/workflow_fixture.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

namespace vidorel {
namespace {

::testing::Environment* const qt =
    ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment("offscreen"));

// The three windows over the real coordinator (with fake collaborators):
// their gestures become the coordinator's edits, and they follow what it
// publishes.
class WindowsWiringTest : public testing::WorkflowTest {
protected:
  void SetUp() override {
    start();
    openSessionWithoutTake();
    // Three scenes; the first with two takes, the second selected.
    manager->updateSession([](Session& session) {
      session.scenes.push_back(RecordingScene::make());
      session.scenes.push_back(RecordingScene::make());
      for (int i = 1; i <= 2; ++i) {
        Take take = Take::make(Uuid::random(), "scene-1-take-" + std::to_string(i) + ".mov",
                               10.0 * i, Timestamp{});
        session.scenes[0].takes.push_back(take);
      }
      session.scenes[0].selectedTakeID = session.scenes[0].takes[1].id;
    });
    calls.clear();
  }

  static void settle() {
    for (int i = 0; i < 3; ++i)
      QCoreApplication::processEvents();
  }
};

TEST_F(WindowsWiringTest, SceneTreeEditsReachTheSessionAndTheSummaryFollows) {
  std::unique_ptr<SceneTreeView> tree(makeSceneTreeView(*manager));
  std::unique_ptr<QWidget> window(makeExportSummaryWindow(*manager));
  auto* summary = qobject_cast<ExportSummaryView*>(window.get());
  ASSERT_NE(summary, nullptr);
  tree->show();
  summary->show();
  EXPECT_EQ(summary->rowTexts(0), (QStringList{"Scene 1", "Take 2", "0:20"}));

  Uuid first = session().scenes[0].id;
  Uuid third = session().scenes[2].id;
  Uuid take2 = session().scenes[0].takes[1].id;
  QTest::mouseClick(tree->takeRow(take2)->selectButton(), Qt::LeftButton);
  settle();
  EXPECT_FALSE(session().scenes[0].selectedTakeID);
  EXPECT_FALSE(tree->sceneHeader(first)->skippedLabel()->isHidden());
  EXPECT_EQ(summary->rowTexts(0), (QStringList{"Scene 1", QString::fromUtf8("— skipped —")}));
  EXPECT_FALSE(summary->exportButton()->isEnabled());

  QTest::mouseDClick(tree->sceneHeader(third), Qt::LeftButton, {}, QPoint(40, 8));
  settle();
  ASSERT_NE(tree->sceneHeader(third)->editor(), nullptr);
  QTest::keyClicks(tree->sceneHeader(third)->editor(), "Finale");
  QTest::keyClick(tree->sceneHeader(third)->editor(), Qt::Key_Return);
  settle();
  EXPECT_EQ(session().scenes[2].name, "Finale");
  EXPECT_EQ(tree->sceneHeader(third)->nameLabel()->text(), "Finale");
  EXPECT_EQ(summary->rowTexts(2).first(), "Finale");

  EXPECT_TRUE(tree->logic().drop(first, scenePayload(third)));
  settle();
  EXPECT_EQ(session().scenes[0].id, third);
  EXPECT_EQ(tree->topLevelItemCount(), 3);
  EXPECT_EQ(summary->rowTexts(0).first(), "Finale");
}

TEST_F(WindowsWiringTest, SummaryButtonsDismissThroughTheCoordinator) {
  std::unique_ptr<QWidget> window(makeExportSummaryWindow(*manager));
  auto* summary = qobject_cast<ExportSummaryView*>(window.get());
  ASSERT_NE(summary, nullptr);
  summary->cancelButton()->click();
  EXPECT_TRUE(calls.contains("dismiss export"));
}

TEST_F(WindowsWiringTest, SettingsRecordsIntoTheCoordinatorsBindings) {
  std::unique_ptr<QWidget> window(makeSettingsWindow(*manager, shortcuts, usKeyboardLayout()));
  auto* settings = qobject_cast<SettingsView*>(window.get());
  ASSERT_NE(settings, nullptr);
  settings->show();
  ShortcutRecorderView* recorder = settings->recorder(ShortcutAction::export_);
  QTest::mouseClick(recorder, Qt::LeftButton);
  EXPECT_TRUE(shortcuts.registered.empty());
  QTest::keyClick(recorder, Qt::Key_K, Qt::ControlModifier);
  EXPECT_EQ(manager->shortcutBindings().at(ShortcutAction::export_).carbonKeyCode, kVK_ANSI_K);
  EXPECT_EQ(recorder->text(), "Ctrl+K");
  EXPECT_EQ(shortcuts.registered.size(), 4u);

  settings->restoreDefaultsButton()->click();
  EXPECT_EQ(manager->shortcutBindings().at(ShortcutAction::export_),
            defaultBinding(ShortcutAction::export_));
  EXPECT_EQ(recorder->text(), "Ctrl+Shift+E");
}

TEST_F(WindowsWiringTest, ReviewWindowPreviewsFromTheTreeAndSpacePlays) {
  std::shared_ptr<FakePlayer> player;
  ReviewWindowView window(
      *manager, activation,
      [&player](QWidget*) {
        player = std::make_shared<FakePlayer>();
        return player;
      },
      [this](const std::string& id) { calls.add("dismiss " + id); });
  window.show();
  settle();
  EXPECT_EQ(window.windowTitle(), "Review — Scene 1");
  // No take of this session was recorded here: the placeholder, no bar.
  EXPECT_TRUE(window.showsPlaceholder());
  EXPECT_FALSE(window.trimBarView()->isVisible());
  EXPECT_TRUE(window.button(ReviewButton::newTake)->isEnabled());
  EXPECT_FALSE(window.button(ReviewButton::approve)->isEnabled());
  EXPECT_FALSE(window.button(ReviewButton::deleteAndRetake)->isEnabled());

  // A take clicked in the tree plays in the window with its range.
  const Take take = session().scenes[0].takes[1];
  std::filesystem::create_directories(takes());
  FakeRecorder::writeFile(session().takeFile(take), 4096);
  window.sceneTree()->logic().clickTake(session().scenes[0].id, take.id);
  settle();
  ASSERT_TRUE(player);
  EXPECT_EQ(player->loaded.back().filename(), take.filename);
  EXPECT_FALSE(window.showsPlaceholder());
  EXPECT_TRUE(window.trimBarView()->isVisible());
  EXPECT_EQ(window.controller().takeDuration(), 20.0);

  QTest::keyClick(&window, Qt::Key_Space);
  EXPECT_TRUE(player->isPlaying());
  QTest::keyClick(&window, Qt::Key_Space);
  EXPECT_FALSE(player->isPlaying());
  std::filesystem::create_directories(VIDOREL_ARTIFACTS_DIR);
  EXPECT_TRUE(window.grab().save(VIDOREL_ARTIFACTS_DIR "/review-window-offscreen.png"));
}

} // namespace
} // namespace vidorel
