#include "shortcuts/key_positions.h"
#include "shortcuts/settings_view.h"
#include "shortcuts/x11_hot_keys.h"
#include "workflow/app_state_manager.h"

#include "fakes/fake_defaults_store.h"
#include "fakes/recording_global_shortcuts.h"
#include "fakes/screenshot.h"
#include "fakes/test_application.h"

#include <QFontMetrics>
#include <QLabel>

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>

namespace vidorel {
namespace {

::testing::Environment* const qt =
    ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment());

// Orange pixels of the warning colour in the rows' band from top to bottom.
int orangePixels(const QImage& image, int top, int bottom) {
  int orange = 0;
  for (int y = std::max(top, 0); y < std::min(bottom, image.height()); ++y)
    for (int x = 0; x < image.width(); ++x) {
      QColor c = image.pixelColor(x, y);
      if (c.red() > 200 && c.green() > 100 && c.green() < 190 && c.blue() < 80)
        ++orange;
    }
  return orange;
}

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
      nullptr,
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
  EXPECT_GT(orangePixels(image, 0, image.height()), 20);
}

TEST(SettingsScreenshot, AHotKeyAnotherProgramHoldsWarnsUnderItsRow) {
  if (!std::getenv("DISPLAY"))
    GTEST_SKIP() << "needs an X server (scripts/desktop-env)";
  // Another program holds Ctrl+Shift+R (Retake) before the hot keys are
  // registered.
  xcb_connection_t* other = xcb_connect(nullptr, nullptr);
  ASSERT_FALSE(xcb_connection_has_error(other));
  xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(other)).data->root;
  xcb_generic_error_t* error = xcb_request_check(
      other, xcb_grab_key_checked(other, 1, root, XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT, 27,
                                  XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
  ASSERT_EQ(error, nullptr);

  Logger logger;
  auto log = std::make_shared<RecordingLogSink>();
  logger.addSink(log);
  X11HotKeys hotKeys(logger);
  FakeDefaultsStore store;
  Preferences preferences(store);
  ShortcutBindings effective = preferences.shortcutBindings();
  auto registerGlobal = [&] {
    ShortcutBindings global;
    for (ShortcutAction action : globalShortcutActions)
      global[action] = effective.at(action);
    hotKeys.registerBindings(global);
  };
  registerGlobal();
  // The log line stays.
  EXPECT_TRUE(log->contains(LogCategory::shortcuts, "RegisterEventHotKey failed for retake: 10"));
  EXPECT_TRUE(log->contains(LogCategory::shortcuts, "Carbon hotkeys installed (3/4)"));

  ShortcutSettingsServices services{
      preferences,
      hotKeys,
      [&] { return effective; },
      [&] {
        effective = preferences.shortcutBindings();
        registerGlobal();
      },
      [] { return true; },
      [](bool) {},
      &hotKeys,
  };
  SettingsView view(std::make_unique<ShortcutSettings>(std::move(services)), usKeyboardLayout());
  view.setWindowTitle("Settings");
  QLabel* warning = view.warning(ShortcutAction::retake);
  EXPECT_FALSE(warning->isHidden());
  EXPECT_EQ(warning->text(), QStringLiteral("Not working: another program uses it"));
  // In the style of the window's other warnings: the same label, colour and
  // indent as "Already used by …".
  QLabel* duplicateWarning = view.warning(ShortcutAction::nextScene);
  EXPECT_EQ(warning->palette().color(QPalette::WindowText),
            duplicateWarning->palette().color(QPalette::WindowText));
  EXPECT_EQ(warning->contentsMargins(), duplicateWarning->contentsMargins());
  EXPECT_EQ(warning->font(), duplicateWarning->font());
  for (ShortcutAction action : allShortcutActions)
    if (action != ShortcutAction::retake) {
      EXPECT_TRUE(view.warning(action)->isHidden()) << rawValue(action);
    }

  QImage image = testing::saveScreenshot(view, "settings-grab-warning");
  ASSERT_FALSE(image.isNull());
  // The whole text fits beside the indent, on one line.
  EXPECT_LE(QFontMetrics(warning->font()).horizontalAdvance(warning->text()),
            warning->contentsRect().width());
  double scale = view.devicePixelRatio();
  QRect band = warning->geometry();
  band = QRect(warning->mapTo(&view, QPoint(0, 0)), band.size());
  EXPECT_GT(orangePixels(image, band.top() * scale, (band.bottom() + 1) * scale), 20);
  // Nothing orange elsewhere.
  EXPECT_EQ(orangePixels(image, 0, band.top() * scale) +
                orangePixels(image, (band.bottom() + 1) * scale, image.height()),
            0);

  // Rebinding Retake to a free combination: the warning goes once the hot
  // keys are registered again.
  ShortcutRecorderView* recorder = view.recorder(ShortcutAction::retake);
  recorder->recorder().click();
  recorder->recorder().keyPress(kVK_ANSI_K, {ModifierKey::command, ModifierKey::shift}, "k");
  EXPECT_FALSE(recorder->isRecording());
  EXPECT_EQ(hotKeys.registrationError(ShortcutAction::retake), std::nullopt);
  EXPECT_TRUE(warning->isHidden());
  xcb_disconnect(other);
}

} // namespace
} // namespace vidorel
