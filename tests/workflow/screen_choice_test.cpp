#include "workflow/screen_choice.h"

#include <gtest/gtest.h>

#include <tuple>

namespace vidorel {
namespace {

TEST(ScreenChoiceTest, TheNamedMonitorElseTheFirstSayingSo) {
  ShareableContent content{{{"eDP-1", 0, 0, 2880, 1800}, {"HDMI-1", 2880, 0, 1920, 1080}}};
  // Wanted, recorded, fell back; DP-2 was unplugged since it was chosen.
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"", "eDP-1", false}, {"HDMI-1", "HDMI-1", false}, {"DP-2", "eDP-1", true}};
  for (auto [wanted, recorded, fellBack] : cases) {
    DisplayChoice choice = chooseDisplay(content, wanted);
    ASSERT_NE(choice.display, nullptr) << wanted;
    EXPECT_EQ(std::pair(choice.display->name, choice.fellBack),
              std::pair(std::string(recorded), fellBack));
  }
  EXPECT_EQ(chooseDisplay(ShareableContent{}, "HDMI-1").display, nullptr);
  EXPECT_EQ(describeDisplay(content.displays[1]), "HDMI-1 1920x1080+2880+0");
}

TEST(ScreenChoiceTest, TenEightyFitsWithinKeepingTheShapeAndNeverEnlarges) {
  // Screen, size, recorded: 16:10 bound by the height, ultra-wide by the
  // width, odd sides lose a pixel.
  const std::tuple<int, int, RecordingSize, int, int> cases[] = {
      {3840, 2160, RecordingSize::hd1080, 1920, 1080},
      {2880, 1800, RecordingSize::hd1080, 1728, 1080},
      {3440, 1440, RecordingSize::hd1080, 1920, 804},
      {1280, 720, RecordingSize::hd1080, 1280, 720},
      {1366, 768, RecordingSize::hd1080, 1366, 768},
      {3840, 2160, RecordingSize::full, 3840, 2160},
      {1921, 1081, RecordingSize::full, 1920, 1080},
  };
  for (auto [width, height, kind, expectedWidth, expectedHeight] : cases) {
    PixelSize size = recordingPixelSize(width, height, kind);
    EXPECT_EQ(std::pair(size.width, size.height), std::pair(expectedWidth, expectedHeight))
        << width << "x" << height;
  }
}

} // namespace
} // namespace vidorel
