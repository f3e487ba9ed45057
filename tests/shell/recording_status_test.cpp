#include "shell/recording_status.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {

TEST(RecordingStatus, TitlesAndMarksFollowTheState) {
  EXPECT_EQ(statusContent(AppState::idle, 1, 1).title, "Ready — S1T1");
  EXPECT_EQ(statusContent(AppState::recording, 2, 3).title, "REC — S2T3");
  EXPECT_EQ(statusContent(AppState::paused, 1, 1).title, "PAUSED — S1T1");
  EXPECT_EQ(statusContent(AppState::reviewing, 4, 7).title, "Review — S4");
  EXPECT_EQ(statusContent(AppState::recording, 12, 10).title, "REC — S12T10");

  EXPECT_EQ(statusContent(AppState::idle, 1, 1).mark, StatusMark::secondary);
  EXPECT_EQ(statusContent(AppState::recording, 1, 1).mark, StatusMark::red);
  EXPECT_EQ(statusContent(AppState::paused, 1, 1).mark, StatusMark::yellow);
  EXPECT_EQ(statusContent(AppState::reviewing, 1, 1).mark, StatusMark::blue);
}

TEST(RecordingStatus, HintsPerStateNameTheFactoryKeys) {
  using Hints = std::vector<StatusHint>;
  EXPECT_EQ(statusContent(AppState::idle, 1, 1).hints,
            (Hints{{"Ctrl+Shift+Return", "Start take"}, {"Ctrl+Shift+N", "Next scene"}}));
  EXPECT_EQ(statusContent(AppState::recording, 1, 1).hints,
            (Hints{{"Ctrl+Shift+Space", "Pause"},
                   {"Ctrl+Shift+Return", "End take"},
                   {"Ctrl+Shift+N", "End + next scene"}}));
  EXPECT_EQ(statusContent(AppState::paused, 1, 1).hints,
            (Hints{{"Ctrl+Shift+Space", "Resume"}, {"Ctrl+Shift+Return", "End take"}}));
  EXPECT_EQ(statusContent(AppState::reviewing, 1, 1).hints,
            (Hints{{"Ctrl+Shift+Return", "Approve + new take"},
                   {"Ctrl+Shift+N", "Approve + new scene"},
                   {"Ctrl+Shift+R", "Retake"}}));
}

TEST(RecordingStatus, PanelSitsTopCentreTwelvePixelsBelowTheWorkArea) {
  // 1440 x 875 work area at the origin: the 260 x 110 panel's left edge is
  // at 590 and its top 12 px below the top (753 from the bottom).
  PanelPoint origin = statusPanelOrigin({0, 0, 1440, 875}, kStatusPanelWidth);
  EXPECT_EQ(origin, (PanelPoint{590, 12}));
  EXPECT_EQ(875 - origin.y - kStatusPanelHeight, 753);
  // A work area below a 32 px top bar on a second screen to the right.
  EXPECT_EQ(statusPanelOrigin({1280, 32, 1920, 1048}, 220), (PanelPoint{2130, 44}));
}

} // namespace
} // namespace vidorel
