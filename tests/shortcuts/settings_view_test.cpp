#include "shortcuts/key_positions.h"
#include "shortcuts/settings_view.h"

#include "fakes/fake_defaults_store.h"
#include "fakes/recording_global_shortcuts.h"
#include "fakes/test_application.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace vidorel {
namespace {
using testing::RecordingGlobalShortcuts;

::testing::Environment* const qt =
    ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment("offscreen"));

const Qt::KeyboardModifiers kCtrlShift = Qt::ControlModifier | Qt::ShiftModifier;

// The settings window over a coordinator stand-in: its bindings are rebuilt
// from the preferences on reload, after which the view is told, as the
// coordinator's observers are.
class SettingsViewTest : public ::testing::Test {
protected:
  void SetUp() override {
    effective = preferences.shortcutBindings();
    hotKeys.registerBindings(effective);
    hotKeys.setHandler(ShortcutAction::retake, [this] { ++retakes; });
    ShortcutSettingsServices services{
        preferences,
        hotKeys,
        [this] { return effective; },
        [this] {
          effective = preferences.shortcutBindings();
          ++reloads;
          if (view)
            view->refresh();
        },
        [this] { return autoCheck; },
        [this](bool on) { autoCheck = on; },
        nullptr,
    };
    view = std::make_unique<SettingsView>(std::make_unique<ShortcutSettings>(std::move(services)),
                                          usKeyboardLayout());
    view->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    hotKeys.registerCount = 0;
  }

  ShortcutRecorderView* startRecording(ShortcutAction action) {
    ShortcutRecorderView* recorder = view->recorder(action);
    QTest::mouseClick(recorder, Qt::LeftButton);
    return recorder;
  }

  FakeDefaultsStore store;
  Preferences preferences{store};
  RecordingGlobalShortcuts hotKeys;
  ShortcutBindings effective;
  int reloads = 0;
  int retakes = 0;
  bool autoCheck = true;
  std::unique_ptr<SettingsView> view;
};

TEST_F(SettingsViewTest, OneRowPerActionWithItsFactoryBinding) {
  QStringList titles;
  QStringList shown;
  for (ShortcutAction action : allShortcutActions) {
    titles << view->title(action)->text();
    shown << view->recorder(action)->text();
    EXPECT_EQ(view->recorder(action)->size(), QSize(160, 24));
    EXPECT_EQ(view->title(action)->width(), 200);
    EXPECT_TRUE(view->warning(action)->isHidden());
  }
  EXPECT_EQ(titles.first(), "Pause / Resume");
  EXPECT_EQ(titles.size(), 9);
  EXPECT_EQ(shown, (QStringList{"Ctrl+Shift+Space", "Ctrl+Shift+Return", "Ctrl+Shift+N",
                                "Ctrl+Shift+R", "Ctrl+Alt+Shift+N", "Ctrl+Shift+O", "Ctrl+Shift+S",
                                "Ctrl+Alt+Shift+S", "Ctrl+Shift+E"}));
  EXPECT_EQ(view->restoreDefaultsButton()->text(), "Restore Defaults");
  EXPECT_EQ(view->updatesToggle()->text(), "Check for updates automatically");
  EXPECT_TRUE(view->updatesToggle()->isChecked());
  EXPECT_EQ(view->width(), 480);
}

// While a row listens no hot key works, not even another action's; Escape
// leaves the binding and registers the hot keys again.
TEST_F(SettingsViewTest, EscapeLeavesTheBindingAndRegistersTheHotKeysAgain) {
  ShortcutRecorderView* recorder = startRecording(ShortcutAction::endTake);
  EXPECT_TRUE(recorder->isRecording());
  EXPECT_EQ(recorder->text(), "Press shortcut…");
  EXPECT_EQ(hotKeys.unregisterCount, 1);
  EXPECT_TRUE(hotKeys.registered.empty());
  EXPECT_FALSE(hotKeys.press(defaultBinding(ShortcutAction::retake)));
  EXPECT_EQ(retakes, 0);
  QTest::keyClick(recorder, Qt::Key_Escape);
  EXPECT_FALSE(recorder->isRecording());
  EXPECT_EQ(recorder->text(), "Ctrl+Shift+Return");
  EXPECT_EQ(hotKeys.registerCount, 1);
  EXPECT_EQ(hotKeys.registered.size(), 4u);
  EXPECT_TRUE(store.values.empty());
  EXPECT_TRUE(hotKeys.press(defaultBinding(ShortcutAction::retake)));
  EXPECT_EQ(retakes, 1);
}

TEST_F(SettingsViewTest, LoneModifiersAndADuplicateKeepListeningThenAFreeOneIsSaved) {
  ShortcutRecorderView* recorder = startRecording(ShortcutAction::nextScene);
  QTest::keyClick(recorder, Qt::Key_Shift, Qt::ShiftModifier);
  QTest::keyClick(recorder, Qt::Key_Control, Qt::ControlModifier);
  EXPECT_TRUE(recorder->isRecording());
  EXPECT_EQ(recorder->text(), "Press shortcut…");
  EXPECT_TRUE(store.values.empty());

  QTest::keyClick(recorder, Qt::Key_R, kCtrlShift);
  EXPECT_TRUE(recorder->isRecording());
  EXPECT_FALSE(view->warning(ShortcutAction::nextScene)->isHidden());
  EXPECT_EQ(view->warning(ShortcutAction::nextScene)->text(), "Already used by Retake");
  EXPECT_EQ(reloads, 0);

  QTest::keyClick(recorder, Qt::Key_K, kCtrlShift);
  EXPECT_FALSE(recorder->isRecording());
  EXPECT_TRUE(view->warning(ShortcutAction::nextScene)->isHidden());
  EXPECT_EQ(recorder->text(), "Ctrl+Shift+K");
  EXPECT_EQ(reloads, 1);
  EXPECT_EQ(preferences.customShortcuts().at("nextScene").carbonKeyCode, kVK_ANSI_K);
  // The hot keys came back with the new binding.
  EXPECT_EQ(hotKeys.registered.at(ShortcutAction::nextScene).carbonKeyCode, kVK_ANSI_K);
}

TEST_F(SettingsViewTest, X11KeycodesAreReadByPosition) {
  ShortcutRecorderView* recorder = startRecording(ShortcutAction::save);
  // Keycode 27 is the R position, whatever the layout types there: the
  // retake binding, refused.
  QKeyEvent retake(QEvent::KeyPress, Qt::Key_P, kCtrlShift, 27, 0, 0, QStringLiteral("p"));
  QApplication::sendEvent(recorder, &retake);
  EXPECT_TRUE(recorder->isRecording());
  EXPECT_EQ(view->warning(ShortcutAction::save)->text(), "Already used by Retake");
  // Keycode 57 is N: Alt+Ctrl+N is free.
  QKeyEvent free(QEvent::KeyPress, Qt::Key_B, Qt::ControlModifier | Qt::AltModifier, 57, 0, 0,
                 QStringLiteral("b"));
  QApplication::sendEvent(recorder, &free);
  EXPECT_FALSE(recorder->isRecording());
  EXPECT_EQ(recorder->text(), "Ctrl+Alt+N");
  ShortcutBinding saved = preferences.customShortcuts().at("save");
  EXPECT_EQ(saved.carbonKeyCode, kVK_ANSI_N);
  EXPECT_EQ(saved.carbonModifiers, cmdKey | optionKey);
  EXPECT_EQ(saved.keyEquivalent, "n");
}

TEST_F(SettingsViewTest, KeysWithoutAPositionAreRefusedWithARowWarning) {
  ShortcutRecorderView* recorder = startRecording(ShortcutAction::export_);
  // X key 191 is F13 of the X keymap (no Carbon position: that one is
  // Print); 172 a media key; 77 Num Lock.
  for (quint32 x11 : {191u, 172u, 77u}) {
    QKeyEvent key(QEvent::KeyPress, Qt::Key_F13, kCtrlShift, x11, 0, 0);
    QApplication::sendEvent(recorder, &key);
    EXPECT_TRUE(recorder->isRecording()) << x11;
    EXPECT_FALSE(view->warning(ShortcutAction::export_)->isHidden()) << x11;
    EXPECT_EQ(view->warning(ShortcutAction::export_)->text(),
              "This key cannot be part of a shortcut");
  }
  EXPECT_TRUE(store.values.empty());
  // Print is taken, named, and the warning goes.
  QKeyEvent print(QEvent::KeyPress, Qt::Key_Print, kCtrlShift, 107, 0, 0);
  QApplication::sendEvent(recorder, &print);
  EXPECT_FALSE(recorder->isRecording());
  EXPECT_EQ(recorder->text(), "Ctrl+Shift+Print");
  EXPECT_TRUE(view->warning(ShortcutAction::export_)->isHidden());
  EXPECT_EQ(preferences.customShortcuts().at("export").carbonKeyCode, 105u);
}

TEST_F(SettingsViewTest, CommandKIsSavedWithTheMayConflictWarningWhichRestoreDefaultsKeeps) {
  ShortcutRecorderView* recorder = startRecording(ShortcutAction::export_);
  QTest::keyClick(recorder, Qt::Key_K, Qt::ControlModifier);
  EXPECT_FALSE(recorder->isRecording());
  EXPECT_EQ(recorder->text(), "Ctrl+K");
  EXPECT_EQ(view->warning(ShortcutAction::export_)->text(),
            "May conflict with other apps during presentation");
  EXPECT_FALSE(view->warning(ShortcutAction::export_)->isHidden());
  EXPECT_EQ(preferences.customShortcuts().at("export").keyEquivalent, "k");

  QTest::mouseClick(view->restoreDefaultsButton(), Qt::LeftButton);
  EXPECT_FALSE(store.values.contains("customShortcuts"));
  EXPECT_EQ(view->recorder(ShortcutAction::export_)->text(), "Ctrl+Shift+E");
  // Warnings stay until the row records again.
  EXPECT_FALSE(view->warning(ShortcutAction::export_)->isHidden());
}

TEST_F(SettingsViewTest, UpdateToggleFollowsAndSetsTheFlag) {
  view->updatesToggle()->click();
  EXPECT_FALSE(autoCheck);
  autoCheck = true;
  view->refresh();
  EXPECT_TRUE(view->updatesToggle()->isChecked());
}

TEST_F(SettingsViewTest, LoudnessToggleIsOnUnlessTheDefaultsHoldFalse) {
  EXPECT_EQ(view->loudnessToggle()->text(), "Even out loudness");
  EXPECT_TRUE(view->loudnessToggle()->isChecked());
  view->loudnessToggle()->click();
  EXPECT_EQ(store.values.at("evenOutLoudness"), FakeDefaultsStore::Value(false));
  // Anything but a Boolean reads as on.
  store.values["evenOutLoudness"] = std::string("false");
  view->refresh();
  EXPECT_TRUE(view->loudnessToggle()->isChecked());
}

TEST_F(SettingsViewTest, ClosingTheWindowWhileRecordingBringsTheHotKeysBack) {
  startRecording(ShortcutAction::retake);
  EXPECT_TRUE(hotKeys.registered.empty());
  view.reset();
  EXPECT_EQ(hotKeys.registered.size(), 4u);
}

} // namespace
} // namespace vidorel
