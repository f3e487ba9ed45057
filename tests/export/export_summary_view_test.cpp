#include "export/export_summary_view.h"

#include "fakes/session_builder.h"
#include "fakes/test_application.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace vidorel {
namespace {
using testing::SessionBuilder;

::testing::Environment* const qt =
    ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment("offscreen"));

class ExportSummaryViewTest : public ::testing::Test {
protected:
  // Scene 1 with Take 2 of 0:07, Scene 2 skipped, "Outro" with "Intro" of 1:05.
  static Session threeScenes() {
    SessionBuilder builder;
    int first = builder.scene();
    int second = builder.scene();
    int third = builder.scene("Outro");
    builder.take(first, 0, 1);
    builder.select(first, builder.take(first, 12.75, 20.0));
    builder.take(second, 0, 9);
    builder.select(third, builder.take(third, 0, 65.5, "Intro"));
    return builder.build();
  }
};

TEST_F(ExportSummaryViewTest, ShowsOneLinePerSceneTheTotalAndCopiesTheChapters) {
  ExportSummaryView view;
  std::string copied;
  view.onCopyChapters = [&copied](const std::string& list) { copied = list; };
  view.setSummary(makeExportSummary(threeScenes()));
  EXPECT_EQ(view.rowTexts(0), (QStringList{"Scene 1", "Take 2", "0:07"}));
  EXPECT_EQ(view.rowTexts(1), (QStringList{"Scene 2", QString::fromUtf8("— skipped —")}));
  EXPECT_EQ(view.rowTexts(2), (QStringList{"Outro", "Intro", "1:05"}));
  EXPECT_TRUE(view.rowTexts(3).isEmpty());
  EXPECT_EQ(view.totalLabel()->text(), "Total: 1:12");
  EXPECT_EQ(view.exportButton()->text(), QString::fromUtf8("Export Final Video (Ctrl+Shift+E)"));
  EXPECT_GE(view.minimumWidth(), 400);
  view.copyChaptersButton()->click();
  EXPECT_EQ(copied, "0:00 Scene 1\n0:07 Outro\n");

  // A later session replaces the rows rather than adding to them.
  SessionBuilder empty;
  empty.scene();
  view.setSummary(makeExportSummary(empty.build()));
  EXPECT_EQ(view.rowTexts(0), (QStringList{"Scene 1", QString::fromUtf8("— skipped —")}));
  EXPECT_TRUE(view.rowTexts(1).isEmpty());
  EXPECT_FALSE(view.copyChaptersButton()->isEnabled());
  EXPECT_EQ(view.totalLabel()->text(), "Total: 0:00");
}

TEST_F(ExportSummaryViewTest, ButtonsAndTheirShortcutsCloseOrExportWhatIsSelected) {
  ExportSummaryView view;
  int cancelled = 0;
  int exported = 0;
  view.onCancel = [&] { ++cancelled; };
  view.onExport = [&] { ++exported; };
  view.setSummary(makeExportSummary(threeScenes()));
  view.show();
  QApplication::setActiveWindow(&view);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&view));

  QTest::keyClick(&view, Qt::Key_E, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(exported, 1) << "Shift+Ctrl+E";
  QTest::keyClick(&view, Qt::Key_Escape, Qt::ControlModifier);
  EXPECT_EQ(cancelled, 1) << "Ctrl+Escape";
  QTest::mouseClick(view.exportButton(), Qt::LeftButton);
  QTest::mouseClick(view.cancelButton(), Qt::LeftButton);
  EXPECT_EQ(exported, 2);
  EXPECT_EQ(cancelled, 2);

  // With nothing selected neither the button nor its shortcut exports.
  view.setSummary(makeExportSummary(std::nullopt));
  EXPECT_FALSE(view.exportButton()->isEnabled());
  QTest::keyClick(&view, Qt::Key_E, Qt::ControlModifier | Qt::ShiftModifier);
  QTest::mouseClick(view.exportButton(), Qt::LeftButton);
  EXPECT_EQ(exported, 2);
}

TEST_F(ExportSummaryViewTest, AHandlerThatDeletesTheViewIsSafe) {
  auto* view = new ExportSummaryView;
  bool exported = false;
  view->onExport = [&] {
    delete view;
    exported = true;
  };
  view->setSummary(makeExportSummary(threeScenes()));
  QTest::mouseClick(view->exportButton(), Qt::LeftButton);
  EXPECT_TRUE(exported);
}

} // namespace
} // namespace vidorel
