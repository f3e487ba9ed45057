#include "shortcuts/key_positions.h"
#include "shortcuts/shortcut_recorder_view.h"
#include "shortcuts/x11_hot_keys.h"
#include "shortcuts/xkb_keyboard_layout.h"

#include <QKeyEvent>

#include "fakes/test_application.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <unistd.h>
#include <utility>

namespace vidorel {
namespace {

using testing::spinUntil;

// Xvfb resets when its last client leaves: connect with retries, hold it all run.
class XServerEnvironment final : public ::testing::Environment {
public:
  void SetUp() override {
    for (int attempt = 0; attempt < 50 && !keeper_; ++attempt) {
      keeper_ = xcb_connect(nullptr, nullptr);
      if (xcb_connection_has_error(keeper_)) {
        xcb_disconnect(std::exchange(keeper_, nullptr));
        ::usleep(100 * 1000);
      }
    }
  }
  void TearDown() override { xcb_disconnect(keeper_); }

private:
  xcb_connection_t* keeper_ = nullptr;
};

::testing::Environment* const server = ::testing::AddGlobalTestEnvironment(new XServerEnvironment);
::testing::Environment* const qt =
    ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment());

// Lets events that should not arrive have their chance.
void settle() {
  spinUntil([] { return false; }, 300);
}

void press(const std::string& keys) {
  ASSERT_EQ(std::system(("xdotool key " + keys).c_str()), 0) << keys;
}

// Another program's connection grabbing a key on the root window.
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
  for (ShortcutAction action : globalShortcutActions)
    bindings.emplace(action, defaultBinding(action));
  return bindings;
}

class X11HotKeysTest : public ::testing::Test {
protected:
  void SetUp() override {
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

// Registered twice, as every pass does: each press fires once.
TEST_F(X11HotKeysTest, FactoryBindingsFireTheirActionsFromAnyProgram) {
  keys_->registerBindings(globalFactoryBindings());
  keys_->registerBindings(globalFactoryBindings());
  EXPECT_TRUE(log_->contains(LogCategory::shortcuts, "Carbon hotkeys installed (4/4)"));
  press("ctrl+shift+space ctrl+shift+Return ctrl+shift+r ctrl+shift+n");
  ASSERT_TRUE(spinUntil([&] { return fired_.size() == 4; }));
  EXPECT_EQ(fired_,
            (std::vector<ShortcutAction>{ShortcutAction::startPause, ShortcutAction::endTake,
                                         ShortcutAction::retake, ShortcutAction::nextScene}));

  // New Recording is a menu key, not a system-wide one; other modifiers miss.
  press("ctrl+shift+alt+n ctrl+n shift+space");
  settle();
  EXPECT_EQ(fired_.size(), 4u) << "fired twice, or a key without its binding";

  // Nothing is grabbed while recording; a grab without a handler swallows.
  keys_->unregisterAll();
  press("ctrl+shift+space");
  keys_->setHandler(ShortcutAction::retake, nullptr);
  keys_->registerBindings(globalFactoryBindings());
  press("ctrl+shift+r ctrl+shift+Return");
  ASSERT_TRUE(spinUntil([&] { return fired_.size() == 5; }));
  settle();
  EXPECT_EQ(fired_.back(), ShortcutAction::endTake);
  EXPECT_EQ(fired_.size(), 5u);
}

TEST_F(X11HotKeysTest, LockKeysDoNotStopAHotKey) {
  keys_->registerBindings(globalFactoryBindings());
  press("Num_Lock ctrl+shift+r Caps_Lock ctrl+shift+r Num_Lock ctrl+shift+r Caps_Lock");
  ASSERT_TRUE(spinUntil([&] { return fired_.size() == 3; })) << fired_.size();
  EXPECT_EQ(fired_, std::vector<ShortcutAction>(3, ShortcutAction::retake));
}

// A grab another program holds (one lock variant) fails alone, is named
// until the next pass, which takes the key once the other let go.
TEST_F(X11HotKeysTest, AGrabOwnedByAnotherClientFailsAloneUntilTheNextPass) {
  xcb_connection_t* other =
      grabElsewhere(XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_2, 57);
  ShortcutBindings bindings = globalFactoryBindings();
  // A modifier key is never grabbed.
  bindings[ShortcutAction::endTake] = ShortcutBinding{55, cmdKey | shiftKey, "?", 18};
  keys_->registerBindings(bindings);
  EXPECT_TRUE(log_->contains(LogCategory::shortcuts, "Carbon hotkeys installed (2/4)"));
  EXPECT_EQ(keys_->registrationError(ShortcutAction::nextScene), kHotKeyHeldElsewhereStatus);
  EXPECT_EQ(keys_->registrationError(ShortcutAction::endTake), -50);
  EXPECT_EQ(keys_->registrationError(ShortcutAction::startPause), std::nullopt);
  press("ctrl+shift+n ctrl+shift+space");
  ASSERT_TRUE(spinUntil([&] { return !fired_.empty(); }));
  settle();
  EXPECT_EQ(fired_, std::vector<ShortcutAction>{ShortcutAction::startPause});
  // Suspended while a shortcut is recorded: the refusals stay known.
  keys_->unregisterAll();
  EXPECT_EQ(keys_->registrationError(ShortcutAction::nextScene), kHotKeyHeldElsewhereStatus);

  xcb_disconnect(other);
  settle(); // the server drops the other's grab once it saw it go
  keys_->registerBindings(globalFactoryBindings());
  EXPECT_TRUE(log_->contains(LogCategory::shortcuts, "Carbon hotkeys installed (4/4)"));
  EXPECT_EQ(keys_->registrationError(ShortcutAction::nextScene), std::nullopt);
  press("ctrl+shift+n");
  ASSERT_TRUE(spinUntil([&] { return fired_.size() == 2; }));
  EXPECT_EQ(fired_.back(), ShortcutAction::nextScene);
}

// Every key the recorder takes from an X key event is grabbable there and named.
TEST_F(X11HotKeysTest, EveryKeyTheRecorderAcceptsIsGrabbedWhereItWasRecorded) {
  XkbKeyboardLayout layout;
  ASSERT_TRUE(layout.available());
  const ModifierSet commandShift{ModifierKey::command, ModifierKey::shift};
  int walked = 0;
  for (const KeyPosition& key : keyPositions()) {
    QKeyEvent event(QEvent::KeyPress, Qt::Key_unknown, Qt::ControlModifier | Qt::ShiftModifier,
                    key.x11, 0, 0);
    ASSERT_EQ(carbonKeyCode(event), key.carbon) << int(key.x11);
    if (!isShortcutKeyCode(key.carbon))
      continue;
    ++walked;
    ShortcutBinding binding =
        bindingFromKeyPress(key.carbon, commandShift, layout.keyText(key.carbon));
    std::string shown = binding.displayString(layout);
    EXPECT_FALSE(shown.ends_with("?")) << key.carbon << " shows " << shown;
    keys_->registerBindings({{ShortcutAction::startPause, binding}});
    EXPECT_EQ(keys_->registrationError(ShortcutAction::startPause), std::nullopt) << shown;
  }
  EXPECT_GT(walked, 100);

  // A sample pressed reaches the handler, some typing nothing.
  for (auto [carbon, keysym] :
       {std::pair{105u, "Print"}, std::pair{107u, "Scroll_Lock"}, std::pair{113u, "Pause"},
        std::pair{0x75u, "Delete"}, std::pair{0x53u, "KP_End"}}) {
    keys_->registerBindings(
        {{ShortcutAction::retake, bindingFromKeyPress(carbon, commandShift, "")}});
    fired_.clear();
    press(std::string("ctrl+shift+") + keysym);
    EXPECT_TRUE(spinUntil([&] { return fired_.size() == 1; })) << keysym;
  }
}

// Always puts the US layout back: the run's other tests share the server.
class KeyboardLayoutSwitchTest : public ::testing::Test {
protected:
  void TearDown() override { EXPECT_EQ(std::system("setxkbmap us"), 0); }
};

TEST_F(KeyboardLayoutSwitchTest, KeyNamesFollowSetxkbmap) {
  ASSERT_EQ(std::system("setxkbmap us"), 0);
  XkbKeyboardLayout layout;
  ASSERT_TRUE(layout.available());
  layout.followChanges();
  EXPECT_EQ(layout.keyText(16), "y");
  EXPECT_EQ(layout.keyText(18), "1");
  EXPECT_EQ(layout.keyText(117), ""); // forward delete types a control code
  EXPECT_EQ(layout.keyText(1000), "");

  bool changed = false;
  auto followed = [&] { return changed = changed || layout.followChanges(); };
  ASSERT_EQ(std::system("setxkbmap de"), 0);
  EXPECT_TRUE(spinUntil(followed));
  EXPECT_EQ(layout.keyText(16), "z");
  EXPECT_EQ(layout.keyText(kVK_ANSI_A + 6), "y");
  EXPECT_EQ(layout.keyText(27), "ß");

  ShortcutBinding y = bindingFromKeyPress(16, {ModifierKey::command, ModifierKey::shift}, "z");
  EXPECT_EQ(y.displayString(layout), "Ctrl+Shift+Z");
}

} // namespace
} // namespace vidorel
