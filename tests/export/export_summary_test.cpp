#include "export/export_summary.h"

#include "fakes/session_builder.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {
using testing::SessionBuilder;

TEST(ExportSummary, ARowPerSceneAndATotalOfTheSelectedTrimmedTakes) {
  SessionBuilder builder;
  int first = builder.scene();
  int skipped = builder.scene();
  int opening = builder.scene("Opening");
  int fourth = builder.scene();
  builder.take(first, 0, 3);
  builder.select(first, builder.take(first, 1.5, 4.0));
  builder.take(skipped, 0, 30);
  builder.take(opening, 0, 1);
  builder.select(opening, builder.take(opening, 0, 62.95, "Intro"));
  builder.select(fourth, builder.take(fourth, 0, 62.95));

  ExportSummary summary = makeExportSummary(builder.build());
  ASSERT_EQ(summary.rows.size(), 4u);
  EXPECT_EQ(summary.rows[0], (ExportSummaryRow{"Scene 1", "Take 2", 2.5, "0:02"}));
  EXPECT_EQ(summary.rows[1].sceneLabel, "Scene 2");
  EXPECT_TRUE(summary.rows[1].skipped());
  EXPECT_EQ(summary.rows[1].takeLength, "");
  EXPECT_EQ(summary.rows[2], (ExportSummaryRow{"Opening", "Intro", 62.95, "1:02"}));
  EXPECT_EQ(summary.rows[3], (ExportSummaryRow{"Scene 4", "Take 1", 62.95, "1:02"}));
  // Exact seconds are added before the total is cut to whole ones: 2:08,
  // although the rows read 0:02, 1:02 and 1:02.
  EXPECT_DOUBLE_EQ(summary.totalSeconds, 128.4);
  EXPECT_EQ(summary.totalText, "Total: 2:08");
  EXPECT_TRUE(summary.canExport);
}

TEST(ExportSummary, NoSessionOrNoSelectedTakeDisablesExport) {
  ExportSummary none = makeExportSummary(std::nullopt);
  EXPECT_TRUE(none.rows.empty());
  EXPECT_EQ(none.totalText, "Total: 0:00");
  EXPECT_FALSE(none.canExport);

  // A selection of a deleted take counts as none.
  SessionBuilder builder;
  int unselected = builder.scene();
  builder.take(unselected, 0, 8);
  int deleted = builder.scene();
  builder.take(deleted, 0, 5);
  builder.select(deleted, Uuid::random());
  ExportSummary summary = makeExportSummary(builder.build());
  ASSERT_EQ(summary.rows.size(), 2u);
  EXPECT_TRUE(summary.rows[0].skipped());
  EXPECT_TRUE(summary.rows[1].skipped());
  EXPECT_FALSE(summary.canExport);
  EXPECT_EQ(summary.totalText, "Total: 0:00");
}

} // namespace
} // namespace vidorel
