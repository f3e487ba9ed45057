#include "shell/alert_buttons.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {

TEST(AlertButtons, KeepTheOrderTheyWereAddedInWithTheFirstAsDefault) {
  Alert alert{"Save recording before closing?",
              "",
              AlertStyle::informational,
              {"Save…", "Don\u2019t Save", "Cancel"}};
  std::vector<AlertButtonPlan> plan = planAlertButtons(alert);
  ASSERT_EQ(plan.size(), 3u);
  EXPECT_EQ(plan[0].title, "Save…");
  EXPECT_EQ(plan[1].title, "Don\u2019t Save");
  EXPECT_EQ(plan[2].title, "Cancel");

  EXPECT_EQ(plan[0].role, AlertButtonRole::accept);
  EXPECT_TRUE(plan[0].isDefault);
  EXPECT_FALSE(plan[0].isEscape);
  EXPECT_EQ(plan[1].role, AlertButtonRole::destructive);
  EXPECT_FALSE(plan[1].isDefault);
  EXPECT_EQ(plan[2].role, AlertButtonRole::reject);
  EXPECT_TRUE(plan[2].isEscape);
}

TEST(AlertButtons, AnAlertWithoutButtonsGetsOneOKThatEscapeAlsoChooses) {
  std::vector<AlertButtonPlan> plan =
      planAlertButtons(Alert{"Export failed", "Disk full.", AlertStyle::informational, {}});
  ASSERT_EQ(plan.size(), 1u);
  EXPECT_EQ(plan[0].title, "OK");
  EXPECT_TRUE(plan[0].isDefault);
  EXPECT_TRUE(plan[0].isEscape);

  plan = planAlertButtons(Alert{"Microphone access needed",
                                "",
                                AlertStyle::warning,
                                {"Open Sound Settings", "Discard all", "Later"}});
  ASSERT_EQ(plan.size(), 3u);
  EXPECT_EQ(plan[1].role, AlertButtonRole::destructive);
  // Without a "Cancel", Escape picks nothing: the alert answers -1.
  EXPECT_EQ(plan[2].role, AlertButtonRole::action);
  for (const AlertButtonPlan& button : plan)
    EXPECT_FALSE(button.isEscape) << button.title;
}

} // namespace
} // namespace vidorel
