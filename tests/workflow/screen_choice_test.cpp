#include "workflow/screen_choice.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {

TEST(ScreenChoiceTest, TheNamedMonitorElseTheFirstSayingSo) {
  ShareableContent content{{{"eDP-1", 0, 0, 2880, 1800}, {"HDMI-1", 2880, 0, 1920, 1080}}};
  struct Case {
    const char* wanted;
    const char* recorded;
    bool fellBack;
  };
  const Case cases[] = {
      {"", "eDP-1", false},
      {"HDMI-1", "HDMI-1", false},
      {"DP-2", "eDP-1", true}, // unplugged since it was chosen
  };
  for (const Case& c : cases) {
    DisplayChoice choice = chooseDisplay(content, c.wanted);
    ASSERT_NE(choice.display, nullptr) << c.wanted;
    EXPECT_EQ(choice.display->name, c.recorded) << c.wanted;
    EXPECT_EQ(choice.fellBack, c.fellBack) << c.wanted;
  }
  EXPECT_EQ(chooseDisplay(ShareableContent{}, "HDMI-1").display, nullptr);
  EXPECT_EQ(describeDisplay(content.displays[1]), "HDMI-1 1920x1080+2880+0");
}

TEST(ScreenChoiceTest, TenEightyFitsWithinKeepingTheShapeAndNeverEnlarges) {
  struct Case {
    int width, height;
    RecordingSize size;
    int expectedWidth, expectedHeight;
  };
  const Case cases[] = {
      {3840, 2160, RecordingSize::hd1080, 1920, 1080},
      {2880, 1800, RecordingSize::hd1080, 1728, 1080}, // 16:10, bound by the height
      {3440, 1440, RecordingSize::hd1080, 1920, 804},  // ultra-wide, by the width
      {1280, 720, RecordingSize::hd1080, 1280, 720},
      {1366, 768, RecordingSize::hd1080, 1366, 768},
      {3840, 2160, RecordingSize::full, 3840, 2160},
      {1921, 1081, RecordingSize::full, 1920, 1080}, // odd sides lose a pixel
  };
  for (const Case& c : cases) {
    PixelSize size = recordingPixelSize(c.width, c.height, c.size);
    EXPECT_EQ(size.width, c.expectedWidth) << c.width << "x" << c.height;
    EXPECT_EQ(size.height, c.expectedHeight) << c.width << "x" << c.height;
  }
}

} // namespace
} // namespace vidorel
