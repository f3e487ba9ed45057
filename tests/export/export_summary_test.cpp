#include "export/export_summary.h"

#include "fakes/session_builder.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {
using testing::SessionBuilder;

TEST(ExportSummary, SkippedMiddleSceneIsListedButLeftOutOfTheTotal) {
  SessionBuilder builder;
  int first = builder.scene();
  int second = builder.scene();
  int third = builder.scene();
  builder.take(first, 0, 3);
  Uuid firstPick = builder.take(first, 1.5, 4.0);
  builder.take(second, 0, 30);
  Uuid thirdPick = builder.take(third, 0, 10);
  builder.select(first, firstPick).select(third, thirdPick);

  ExportSummary summary = makeExportSummary(builder.build());

  ASSERT_EQ(summary.rows.size(), 3u);
  EXPECT_EQ(summary.rows[0], (ExportSummaryRow{"Scene 1", "Take 2", 2.5, "0:02"}));
  EXPECT_EQ(summary.rows[1].sceneLabel, "Scene 2");
  EXPECT_TRUE(summary.rows[1].skipped());
  EXPECT_EQ(summary.rows[1].takeLength, "");
  EXPECT_EQ(summary.rows[2], (ExportSummaryRow{"Scene 3", "Take 1", 10, "0:10"}));
  EXPECT_DOUBLE_EQ(summary.totalSeconds, 12.5);
  EXPECT_EQ(summary.totalText, "Total: 0:12");
  EXPECT_TRUE(summary.canExport);
}

TEST(ExportSummary, SelectionOfADeletedTakeCountsAsSkipped) {
  SessionBuilder builder;
  int scene = builder.scene();
  builder.take(scene, 0, 5);
  builder.select(scene, Uuid::random());

  ExportSummary summary = makeExportSummary(builder.build());

  ASSERT_EQ(summary.rows.size(), 1u);
  EXPECT_TRUE(summary.rows[0].skipped());
  EXPECT_FALSE(summary.canExport);
  EXPECT_EQ(summary.totalText, "Total: 0:00");
}

TEST(ExportSummary, NamesReplaceDefaultLabels) {
  SessionBuilder builder;
  builder.scene();
  int opening = builder.scene("Opening");
  builder.take(opening, 0, 1);
  Uuid intro = builder.take(opening, 0, 61, "Intro");
  builder.select(opening, intro);

  ExportSummary summary = makeExportSummary(builder.build());

  ASSERT_EQ(summary.rows.size(), 2u);
  EXPECT_EQ(summary.rows[0].sceneLabel, "Scene 1");
  EXPECT_EQ(summary.rows[1].sceneLabel, "Opening");
  EXPECT_EQ(summary.rows[1].takeLabel, "Intro");
  EXPECT_EQ(summary.rows[1].takeLength, "1:01");
}

TEST(ExportSummary, TotalAddsExactSecondsBeforeTruncating) {
  // 62.95 + 62.95 = 125.9 s: 2:05, although each row reads 1:02.
  SessionBuilder builder;
  for (int i = 0; i < 2; ++i) {
    int scene = builder.scene();
    builder.select(scene, builder.take(scene, 0, 62.95));
  }
  ExportSummary summary = makeExportSummary(builder.build());
  EXPECT_EQ(summary.rows[0].takeLength, "1:02");
  EXPECT_EQ(summary.totalText, "Total: 2:05");
}

TEST(ExportSummary, NoSessionOrNoSelectionDisablesExport) {
  ExportSummary none = makeExportSummary(std::nullopt);
  EXPECT_TRUE(none.rows.empty());
  EXPECT_EQ(none.totalText, "Total: 0:00");
  EXPECT_FALSE(none.canExport);

  SessionBuilder builder;
  int scene = builder.scene();
  builder.take(scene, 0, 8);
  ExportSummary unselected = makeExportSummary(builder.build());
  EXPECT_EQ(unselected.rows.size(), 1u);
  EXPECT_FALSE(unselected.canExport);
  EXPECT_EQ(unselected.totalText, "Total: 0:00");
}

} // namespace
} // namespace vidorel
