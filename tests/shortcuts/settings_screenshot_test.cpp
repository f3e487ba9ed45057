#include "shortcuts/key_positions.h"
#include "shortcuts/settings_view.h"

#include "fakes/fake_defaults_store.h"
#include "fakes/recording_global_shortcuts.h"
#include "fakes/screenshot.h"
#include "fakes/test_application.h"

#include <QLabel>

#include <gtest/gtest.h>

namespace vidorel {
namespace {

::testing::Environment* const qt =
    ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment());

TEST(SettingsScreenshot, SettingsWindowWithAWarningOnTheXServer) {
  FakeDefaultsStore store;
  Preferences preferences(store);
  testing::RecordingGlobalShortcuts hotKeys;
  ShortcutBindings effective = preferences.shortcutBindings();
  ShortcutSettingsServices services{
      preferences,
      hotKeys,
      [&] { return effective; },
      [&] { effective = preferences.shortcutBindings(); },
      [] { return true; },
      [](bool) {},
  };
  auto settings = std::make_unique<ShortcutSettings>(std::move(services));
  ShortcutSettings& rules = *settings;
  SettingsView view(std::move(settings), usKeyboardLayout());
  view.setWindowTitle("Settings");
  rules.conflict(ShortcutAction::nextScene, defaultBinding(ShortcutAction::retake));
  view.refresh();

  QImage image = testing::saveScreenshot(view, "settings");

  ASSERT_FALSE(image.isNull());
  EXPECT_EQ(image.width(), 480 * view.devicePixelRatio());
  EXPECT_FALSE(view.warning(ShortcutAction::nextScene)->isHidden());
  EXPECT_GT(testing::distinctColours(image), 8);
  // The orange warning reached the screen.
  int orange = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      QColor c = image.pixelColor(x, y);
      if (c.red() > 200 && c.green() > 100 && c.green() < 190 && c.blue() < 80)
        ++orange;
    }
  EXPECT_GT(orange, 20);
}

} // namespace
} // namespace vidorel
