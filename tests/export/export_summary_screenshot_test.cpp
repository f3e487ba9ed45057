#include "export/export_summary_view.h"

#include "fakes/screenshot.h"
#include "fakes/session_builder.h"
#include "fakes/test_application.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {
using testing::SessionBuilder;

::testing::Environment* const qt =
    ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment());

TEST(ExportSummaryScreenshot, SummaryOfThreeScenesOnTheXServer) {
  SessionBuilder builder;
  int first = builder.scene("Opening");
  int second = builder.scene();
  int third = builder.scene();
  builder.select(first, builder.take(first, 0.5, 42.0));
  builder.take(second, 0, 12);
  builder.take(third, 0, 20);
  builder.select(third, builder.take(third, 3.0, 95.25, "Demo"));

  ExportSummaryView view;
  view.setWindowTitle("Export");
  view.setSummary(makeExportSummary(builder.build()));
  QImage image = testing::saveScreenshot(view, "export_summary");

  ASSERT_FALSE(image.isNull());
  EXPECT_EQ(image.size(), view.size() * view.devicePixelRatio());
  // Text, buttons and background: far more than a blank window's colours.
  EXPECT_GT(testing::distinctColours(image), 8);
}

} // namespace
} // namespace vidorel
