#include "shortcuts/key_positions.h"
#include "shortcuts/shortcut_action.h"
#include "shortcuts/shortcut_binding.h"

#include <gtest/gtest.h>

#include <set>

namespace vidorel {
namespace {

TEST(KeyPositionsTest, NamedKeysSitWhereAnEvdevServerPutsThem) {
  // X key codes of the evdev keymap for the keys the factory bindings use.
  EXPECT_EQ(x11KeyCode(kVK_Space), 65);
  EXPECT_EQ(x11KeyCode(kVK_Return), 36);
  EXPECT_EQ(x11KeyCode(kVK_ANSI_N), 57);
  EXPECT_EQ(x11KeyCode(kVK_ANSI_R), 27);
  EXPECT_EQ(x11KeyCode(kVK_ANSI_A), 38);
  EXPECT_EQ(x11KeyCode(kVK_Escape), 9);
  EXPECT_EQ(x11KeyCode(kVK_LeftArrow), 113);
  EXPECT_EQ(x11KeyCode(kVK_UpArrow), 111);
  // Where Apple and PC keyboards differ, the key at the position: F13 is
  // Print, F14 Scroll Lock, F15 Pause; the context-menu key is Menu.
  EXPECT_EQ(x11KeyCode(105), 107);
  EXPECT_EQ(x11KeyCode(107), 78);
  EXPECT_EQ(x11KeyCode(113), 127);
  EXPECT_EQ(x11KeyCode(110), 135);
  EXPECT_EQ(carbonKeyCodeFromX11(107), 105u);
  EXPECT_EQ(carbonKeyCodeFromX11(78), 107u);
  // Codes without a key, and X keys without a Carbon position (F13 of the
  // X keymap, a media key).
  EXPECT_EQ(x11KeyCode(52), std::nullopt);
  EXPECT_EQ(x11KeyCode(1000), std::nullopt);
  EXPECT_EQ(carbonKeyCodeFromX11(191), std::nullopt);
  EXPECT_EQ(carbonKeyCodeFromX11(172), std::nullopt);
  EXPECT_EQ(carbonKeyCodeFromX11(0), std::nullopt);
}

TEST(KeyPositionsTest, TheTableIsOneToOneBothWaysAndOrdered) {
  std::set<std::uint8_t> seenX;
  std::uint32_t previous = 0;
  bool first = true;
  for (const KeyPosition& key : keyPositions()) {
    EXPECT_TRUE(first || key.carbon > previous) << key.carbon;
    first = false;
    previous = key.carbon;
    EXPECT_TRUE(seenX.insert(key.x11).second) << "two Carbon codes on X key " << int(key.x11);
    EXPECT_GE(key.x11, 8) << key.carbon;
    EXPECT_EQ(carbonKeyCodeFromX11(key.x11), key.carbon);
    EXPECT_EQ(x11KeyCode(key.carbon), key.x11);
    // A key that types nothing has a name, so it never shows as "?".
    if (std::string(key.usText).empty() && key.kind == KeyPosition::Kind::shortcut) {
      EXPECT_NE(key.name, nullptr) << key.carbon;
    }
  }
  EXPECT_GT(keyPositions().size(), 110u);
  for (ShortcutAction action : allShortcutActions)
    EXPECT_TRUE(isShortcutKeyCode(defaultBinding(action).carbonKeyCode)) << rawValue(action);
}

TEST(KeyPositionsTest, ModifiersLocksAndEscapeAreNoShortcutKeys) {
  for (std::uint32_t x11 : {37u, 105u, 50u, 62u, 64u, 108u, 133u, 134u, 66u}) {
    std::optional<std::uint32_t> carbon = carbonKeyCodeFromX11(x11);
    ASSERT_TRUE(carbon) << x11;
    EXPECT_TRUE(isModifierKeyCode(*carbon)) << x11;
    EXPECT_FALSE(isShortcutKeyCode(*carbon)) << x11;
  }
  EXPECT_FALSE(isShortcutKeyCode(kVK_Escape));
  EXPECT_FALSE(isShortcutKeyCode(*carbonKeyCodeFromX11(77))); // Num Lock
  EXPECT_FALSE(isShortcutKeyCode(52));
  EXPECT_TRUE(isShortcutKeyCode(kVK_ANSI_K));
  EXPECT_TRUE(isShortcutKeyCode(105));
  EXPECT_FALSE(isModifierKeyCode(kVK_ANSI_K));
  EXPECT_FALSE(isModifierKeyCode(kVK_Escape));
}

TEST(KeyPositionsTest, ModifierMasksFollowTheKeyboardMapping) {
  EXPECT_EQ(x11ModifierMask(cmdKey | shiftKey), 0x5); // Control + Shift
  EXPECT_EQ(x11ModifierMask(optionKey), 0x8);         // Mod1 (Alt)
  EXPECT_EQ(x11ModifierMask(controlKey), 0x40);       // Mod4 (Super)
  EXPECT_EQ(x11ModifierMask(0xB00), 0xD);
  EXPECT_EQ(x11ModifierMask(0x00FF), 0); // bits that are no modifier
}

TEST(KeyPositionsTest, UsLayoutNamesEveryKeyAndTheFactoryBindings) {
  const KeyboardLayout& us = usKeyboardLayout();
  std::vector<std::string> shown;
  for (ShortcutAction action : allShortcutActions)
    shown.push_back(defaultBinding(action).displayString(us));
  EXPECT_EQ(shown,
            (std::vector<std::string>{"Ctrl+Shift+Space", "Ctrl+Shift+Return", "Ctrl+Shift+N",
                                      "Ctrl+Shift+R", "Ctrl+Alt+Shift+N", "Ctrl+Shift+O",
                                      "Ctrl+Shift+S", "Ctrl+Alt+Shift+S", "Ctrl+Shift+E"}));
  EXPECT_EQ(keyName(kVK_ANSI_A, us), "A");
  EXPECT_EQ(keyName(0x7A, us), "F1");
  ShortcutBinding print{105, cmdKey | shiftKey, "?", 18};
  EXPECT_EQ(print.displayString(us), "Ctrl+Shift+Print");
  EXPECT_EQ(keyName(107, us), "ScrollLock");
  EXPECT_EQ(keyName(110, us), "Menu");
  EXPECT_EQ(keyName(0x75, us), "Del");
  EXPECT_EQ(keyName(0x53, us), "1"); // keypad 1
  // Even a layout that knows no key names every recordable key.
  TableKeyboardLayout empty;
  for (const KeyPosition& key : keyPositions()) {
    if (!isShortcutKeyCode(key.carbon) || !std::string(key.usText).empty())
      continue;
    EXPECT_NE(keyName(key.carbon, empty), "?") << key.carbon;
  }
  EXPECT_EQ(keyName(kVK_ANSI_A, empty), "?");
}

} // namespace
} // namespace vidorel
