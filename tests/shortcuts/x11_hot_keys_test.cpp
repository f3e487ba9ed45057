#include "shortcuts/key_positions.h"
#include "shortcuts/shortcut_recorder.h"
#include "shortcuts/shortcut_recorder_view.h"
#include "shortcuts/x11_hot_keys.h"
#include "shortcuts/xkb_keyboard_layout.h"

#include <QApplication>
#include <QKeyEvent>

#include "fakes/test_application.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace vidorel {
namespace {

using testing::spinUntil;

// Xvfb resets itself whenever its last client leaves, refusing connections
// for a moment; one connection held for the whole run keeps it up between
// tests.
// Each test process may start while the server still resets after the last
// one, so the first connection is retried for a few seconds.
void keepServerUp() {
  static xcb_connection_t* keeper = [] {
    for (int attempt = 0;; ++attempt) {
      xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
      if (!xcb_connection_has_error(connection) || attempt == 50)
        return connection;
      xcb_disconnect(connection);
      ::usleep(100 * 1000);
    }
  }();
  (void)keeper;
}

QApplication& application() {
  keepServerUp();
  static int argc = 1;
  static char name[] = "x11_hot_keys_test";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  return app;
}

// Lets events that should not arrive have their chance.
void settle() {
  spinUntil([] { return false; }, 300);
}

void press(const std::string& keys) {
  ASSERT_EQ(std::system(("xdotool key " + keys).c_str()), 0) << keys;
}

// Another program's connection holding a key with the given modifiers, as
// a grab of its own on the root window.
xcb_connection_t* grabElsewhere(std::uint16_t modifiers, xcb_keycode_t key) {
  xcb_connection_t* other = xcb_connect(nullptr, nullptr);
  EXPECT_FALSE(xcb_connection_has_error(other));
  xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(other)).data->root;
  xcb_generic_error_t* error =
      xcb_request_check(other, xcb_grab_key_checked(other, 1, root, modifiers, key,
                                                    XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
  EXPECT_EQ(error, nullptr);
  std::free(error);
  return other;
}

ShortcutBindings globalFactoryBindings() {
  ShortcutBindings bindings;
  for (ShortcutAction action : {ShortcutAction::startPause, ShortcutAction::endTake,
                                ShortcutAction::retake, ShortcutAction::nextScene})
    bindings.emplace(action, defaultBinding(action));
  return bindings;
}

class X11HotKeysTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!std::getenv("DISPLAY"))
      GTEST_SKIP() << "needs an X server (scripts/desktop-env)";
    application();
    log_ = std::make_shared<RecordingLogSink>();
    logger_.addSink(log_);
    keys_ = std::make_unique<X11HotKeys>(logger_);
    for (ShortcutAction action : allShortcutActions)
      keys_->setHandler(action, [this, action] { fired_.push_back(action); });
  }

  Logger logger_;
  std::shared_ptr<RecordingLogSink> log_;
  std::unique_ptr<X11HotKeys> keys_;
  std::vector<ShortcutAction> fired_;
};

TEST_F(X11HotKeysTest, FactoryBindingsFireTheirActionsFromAnyProgram) {
  keys_->registerBindings(globalFactoryBindings());
  EXPECT_TRUE(log_->contains(LogCategory::shortcuts, "Carbon hotkeys installed (4/4)"));
  EXPECT_EQ(keys_->registeredCount(), 4u);

  press("ctrl+shift+space");
  ASSERT_TRUE(spinUntil([&] { return fired_.size() == 1; }));
  press("ctrl+shift+Return ctrl+shift+r ctrl+shift+n");
  ASSERT_TRUE(spinUntil([&] { return fired_.size() == 4; }));
  EXPECT_EQ(fired_,
            (std::vector<ShortcutAction>{ShortcutAction::startPause, ShortcutAction::endTake,
                                         ShortcutAction::retake, ShortcutAction::nextScene}));
  EXPECT_TRUE(log_->contains(LogCategory::shortcuts, "Carbon hotkey fired: startPause"));
  EXPECT_TRUE(log_->contains(LogCategory::shortcuts, "Carbon hotkey fired: nextScene"));

  // New Recording is a menu key equivalent, not a system-wide key; nor is a
  // bound key with other modifiers.
  press("ctrl+shift+alt+n ctrl+n shift+space");
  settle();
  EXPECT_EQ(fired_.size(), 4u);
}

TEST_F(X11HotKeysTest, LockKeysDoNotStopAHotKey) {
  keys_->registerBindings(globalFactoryBindings());
  press("Num_Lock");
  press("ctrl+shift+r");
  press("Caps_Lock");
  press("ctrl+shift+r");
  press("Num_Lock");
  press("ctrl+shift+r");
  press("Caps_Lock");
  ASSERT_TRUE(spinUntil([&] { return fired_.size() == 3; })) << fired_.size();
  EXPECT_EQ(fired_, std::vector<ShortcutAction>(3, ShortcutAction::retake));
}

TEST_F(X11HotKeysTest, AGrabOwnedByAnotherClientFailsAloneAndIsLogged) {
  // Another program holds Ctrl+Shift+N (with NumLock only, so the clash is
  // with one of the lock variants).
  xcb_connection_t* other =
      grabElsewhere(XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_2, 57);

  keys_->registerBindings(globalFactoryBindings());
  EXPECT_TRUE(
      log_->contains(LogCategory::shortcuts, "RegisterEventHotKey failed for nextScene: 10"));
  EXPECT_TRUE(log_->contains(LogCategory::shortcuts, "Carbon hotkeys installed (3/4)"));
  press("ctrl+shift+n ctrl+shift+space");
  ASSERT_TRUE(spinUntil([&] { return !fired_.empty(); }));
  settle();
  EXPECT_EQ(fired_, std::vector<ShortcutAction>{ShortcutAction::startPause});

  // Once the other program lets go, the next pass takes it.
  xcb_disconnect(other);
  keys_->registerBindings(globalFactoryBindings());
  EXPECT_TRUE(log_->contains(LogCategory::shortcuts, "Carbon hotkeys installed (4/4)"));
  press("ctrl+shift+n");
  ASSERT_TRUE(spinUntil([&] { return fired_.size() == 2; }));
  EXPECT_EQ(fired_.back(), ShortcutAction::nextScene);
}

TEST_F(X11HotKeysTest, TwoActionsOnOneCombinationRegisterOnlyOnce) {
  ShortcutBindings bindings = globalFactoryBindings();
  bindings[ShortcutAction::retake] = defaultBinding(ShortcutAction::nextScene);
  keys_->registerBindings(bindings);
  // Visiting order is action order: nextScene comes first and keeps it.
  EXPECT_TRUE(
      log_->contains(LogCategory::shortcuts, "RegisterEventHotKey failed for retake: -9878"))
      << ::testing::PrintToString(log_->messages(LogCategory::shortcuts));
  EXPECT_TRUE(log_->contains(LogCategory::shortcuts, "Carbon hotkeys installed (3/4)"));
  press("ctrl+shift+n");
  ASSERT_TRUE(spinUntil([&] { return !fired_.empty(); }));
  settle();
  EXPECT_EQ(fired_, std::vector<ShortcutAction>{ShortcutAction::nextScene});
}

TEST_F(X11HotKeysTest, UnregisteredKeysAndRegisteringTwiceAndMissingHandlers) {
  keys_->registerBindings(globalFactoryBindings());
  keys_->registerBindings(globalFactoryBindings());
  EXPECT_EQ(log_->messages(LogCategory::shortcuts),
            (std::vector<std::string>{"Carbon hotkeys installed (4/4)",
                                      "Carbon hotkeys installed (4/4)"}));
  press("ctrl+shift+space");
  ASSERT_TRUE(spinUntil([&] { return fired_.size() == 1; }));
  settle();
  EXPECT_EQ(fired_.size(), 1u) << "one press fired twice";

  // While recording a shortcut nothing is grabbed.
  keys_->unregisterAll();
  EXPECT_EQ(keys_->registeredCount(), 0u);
  press("ctrl+shift+space ctrl+shift+Return");
  settle();
  EXPECT_EQ(fired_.size(), 1u);

  // An action without a handler is still grabbed: the press is swallowed
  // and nothing runs.
  keys_->setHandler(ShortcutAction::retake, nullptr);
  keys_->registerBindings(globalFactoryBindings());
  press("ctrl+shift+r ctrl+shift+Return");
  ASSERT_TRUE(spinUntil([&] { return fired_.size() == 2; }));
  settle();
  EXPECT_EQ(fired_.back(), ShortcutAction::endTake);
  EXPECT_FALSE(log_->contains(LogCategory::shortcuts, "Carbon hotkey fired: retake"));
}

TEST_F(X11HotKeysTest, AHandlerMayRebindFromInsideItsCall) {
  ShortcutBindings moved = globalFactoryBindings();
  moved[ShortcutAction::startPause] = ShortcutBinding{kVK_ANSI_K, 0x300, "k", 18};
  keys_->setHandler(ShortcutAction::startPause, [&] {
    fired_.push_back(ShortcutAction::startPause);
    keys_->registerBindings(moved);
  });
  keys_->registerBindings(globalFactoryBindings());
  press("ctrl+shift+space");
  ASSERT_TRUE(spinUntil([&] { return fired_.size() == 1; }));
  press("ctrl+shift+space ctrl+shift+k");
  ASSERT_TRUE(spinUntil([&] { return fired_.size() == 2; }));
  settle();
  EXPECT_EQ(fired_.size(), 2u);
}

TEST_F(X11HotKeysTest, WithoutADisplayEveryPassLogsTheInstallFailure) {
  X11HotKeys nowhere(logger_, ":4242");
  nowhere.registerBindings(globalFactoryBindings());
  EXPECT_TRUE(log_->contains(LogCategory::shortcuts, "InstallEventHandler failed: -1"));
  EXPECT_EQ(nowhere.registeredCount(), 0u);
}

// Every key the recorder takes from an X key event is one the hot keys can
// grab, at the same position, and shows a name.
TEST_F(X11HotKeysTest, EveryKeyTheRecorderAcceptsIsGrabbedWhereItWasRecorded) {
  XkbKeyboardLayout layout;
  ASSERT_TRUE(layout.available());
  const ModifierSet commandShift{ModifierKey::command, ModifierKey::shift};
  int walked = 0;
  for (const KeyPosition& key : keyPositions()) {
    // The key as the recorder control hears it from the X server.
    QKeyEvent event(QEvent::KeyPress, Qt::Key_unknown, Qt::ControlModifier | Qt::ShiftModifier,
                    key.x11, 0, 0);
    std::optional<std::uint32_t> heard = carbonKeyCode(event);
    ASSERT_EQ(heard, key.carbon) << int(key.x11);

    ShortcutRecorder recorder;
    std::optional<ShortcutBinding> offered;
    bool refused = false;
    recorder.accept = [&](const ShortcutBinding& candidate) {
      offered = candidate;
      return std::optional<ShortcutAction>();
    };
    recorder.onUnusableKey = [&] { refused = true; };
    recorder.click();
    recorder.keyPress(*heard, commandShift, layout.keyText(*heard));
    if (!offered) {
      EXPECT_TRUE(refused || key.kind != KeyPosition::Kind::shortcut) << key.carbon;
      EXPECT_FALSE(isShortcutKeyCode(key.carbon)) << key.carbon;
      continue;
    }
    ++walked;
    std::string shown = offered->displayString(layout);
    EXPECT_FALSE(shown.ends_with("?")) << key.carbon << " shows " << shown;

    keys_->registerBindings({{ShortcutAction::startPause, *offered}});
    EXPECT_EQ(keys_->registeredCount(), 1u) << key.carbon << " " << shown;
    EXPECT_EQ(keys_->registrationError(ShortcutAction::startPause), std::nullopt) << key.carbon;
  }
  EXPECT_GT(walked, 100);
  EXPECT_FALSE(log_->contains(LogCategory::shortcuts, "Carbon hotkeys installed (0/1)"));

  // A sample pressed from the desktop reaches the handler: the keys the
  // two old tables disagreed on, and some that type nothing.
  struct Sample {
    std::uint32_t carbon;
    const char* keysym;
  };
  for (Sample sample : {Sample{105, "Print"}, Sample{107, "Scroll_Lock"}, Sample{110, "Menu"},
                        Sample{113, "Pause"}, Sample{0x60, "F5"}, Sample{0x75, "Delete"},
                        Sample{0x53, "KP_End"}, Sample{kVK_ANSI_K, "k"}}) {
    ShortcutBinding binding = bindingFromKeyPress(sample.carbon, commandShift, "");
    keys_->registerBindings({{ShortcutAction::retake, binding}});
    fired_.clear();
    press(std::string("ctrl+shift+") + sample.keysym);
    EXPECT_TRUE(spinUntil([&] { return fired_.size() == 1; })) << sample.keysym;
  }
}

TEST_F(X11HotKeysTest, RegistrationErrorsNameTheRefusedActionsUntilTheNextPass) {
  xcb_connection_t* other = grabElsewhere(XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT, 27);
  ShortcutBindings bindings = globalFactoryBindings();
  // A modifier key is never grabbed.
  bindings[ShortcutAction::endTake] = ShortcutBinding{55, cmdKey | shiftKey, "?", 18};
  keys_->registerBindings(bindings);
  EXPECT_EQ(keys_->registrationError(ShortcutAction::retake), kHotKeyHeldElsewhereStatus);
  EXPECT_EQ(keys_->registrationError(ShortcutAction::endTake), -50);
  EXPECT_EQ(keys_->registrationError(ShortcutAction::startPause), std::nullopt);
  EXPECT_EQ(keys_->registrationError(ShortcutAction::save), std::nullopt);
  // Suspended while a shortcut is recorded: the refusals stay known.
  keys_->unregisterAll();
  EXPECT_EQ(keys_->registrationError(ShortcutAction::retake), kHotKeyHeldElsewhereStatus);

  xcb_disconnect(other);
  // The server lets go of the other program's grab when it has seen it go.
  settle();
  keys_->registerBindings(globalFactoryBindings());
  EXPECT_EQ(keys_->registrationError(ShortcutAction::retake), std::nullopt);
  EXPECT_EQ(keys_->registrationError(ShortcutAction::endTake), std::nullopt);
}

// Switches the test server's layout and always puts the US one back: the
// other tests of the run share the server.
class KeyboardLayoutSwitchTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!std::getenv("DISPLAY"))
      GTEST_SKIP() << "needs an X server (scripts/desktop-env)";
    application();
  }
  void TearDown() override {
    if (std::getenv("DISPLAY")) {
      EXPECT_EQ(std::system("setxkbmap us"), 0);
    }
  }
};

TEST_F(KeyboardLayoutSwitchTest, TheRecorderFollowsSetxkbmap) {
  ASSERT_EQ(std::system("setxkbmap us"), 0);
  XkbKeyboardLayout layout;
  ASSERT_TRUE(layout.available());
  layout.followChanges();
  EXPECT_EQ(layout.keyText(16), "y");

  // followChanges() reports a change once; spinUntil asks again at the end.
  bool changed = false;
  auto followed = [&] { return changed = changed || layout.followChanges(); };
  ASSERT_EQ(std::system("setxkbmap de"), 0);
  EXPECT_TRUE(spinUntil(followed));
  // German keyboards swap Y and Z, and type ß where US ones type -.
  EXPECT_EQ(layout.keyText(16), "z");
  EXPECT_EQ(layout.keyText(kVK_ANSI_A + 6), "y");
  EXPECT_EQ(layout.keyText(27), "ß");

  // The recorder control hears the key at the US Y position (X key 29) and
  // records what it types now.
  ShortcutRecorderView view(layout);
  std::optional<ShortcutBinding> saved;
  view.recorder().accept = [&](const ShortcutBinding& candidate) {
    saved = candidate;
    return std::optional<ShortcutAction>();
  };
  view.recorder().click();
  QKeyEvent key(QEvent::KeyPress, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier, 29, 0, 0,
                "z");
  QApplication::sendEvent(&view, &key);
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->carbonKeyCode, 16u);
  EXPECT_EQ(saved->keyEquivalent, "z");
  EXPECT_EQ(view.text(), QStringLiteral("Ctrl+Shift+Z"));

  // And back: the same binding reads as the US key again.
  changed = false;
  ASSERT_EQ(std::system("setxkbmap us"), 0);
  EXPECT_TRUE(spinUntil(followed));
  EXPECT_EQ(view.text(), QStringLiteral("Ctrl+Shift+Y"));
}

TEST(XkbKeyboardLayoutTest, NamesKeysFromTheServersKeymap) {
  if (!std::getenv("DISPLAY"))
    GTEST_SKIP() << "needs an X server (scripts/desktop-env)";
  keepServerUp();
  XkbKeyboardLayout layout;
  ASSERT_TRUE(layout.available());
  // The test server runs the US layout.
  EXPECT_EQ(layout.keyText(kVK_ANSI_A), "a");
  EXPECT_EQ(layout.keyText(kVK_ANSI_N), "n");
  EXPECT_EQ(layout.keyText(18), "1");
  EXPECT_EQ(layout.keyText(117), ""); // forward delete types a control code
  EXPECT_EQ(layout.keyText(1000), "");
  ShortcutBinding all{kVK_ANSI_A, cmdKey | shiftKey | optionKey | controlKey, "a", 30};
  EXPECT_EQ(all.displayString(layout), "Meta+Ctrl+Alt+Shift+A");
  EXPECT_EQ(defaultBinding(ShortcutAction::newSession).displayString(layout), "Ctrl+Alt+Shift+N");
  EXPECT_EQ(defaultBinding(ShortcutAction::endTake).displayString(layout), "Ctrl+Shift+Return");
}

TEST(XkbKeyboardLayoutTest, WithoutADisplayKeysHaveNoTextAndShowQuestionMarks) {
  XkbKeyboardLayout layout(":4242");
  EXPECT_FALSE(layout.available());
  EXPECT_EQ(keyName(kVK_ANSI_A, layout), "?");
  EXPECT_EQ(keyName(kVK_Space, layout), "Space");
}

} // namespace
} // namespace vidorel
