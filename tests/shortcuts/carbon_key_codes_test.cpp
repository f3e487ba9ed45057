#include "shortcuts/carbon_key_codes.h"
#include "shortcuts/shortcut_action.h"
#include "shortcuts/shortcut_binding.h"

#include <gtest/gtest.h>

#include <set>

namespace vidorel {
namespace {

TEST(CarbonKeyCodesTest, NamedKeysSitWhereAnEvdevServerPutsThem) {
  // X key codes of the evdev keymap for the keys the factory bindings use.
  EXPECT_EQ(x11KeyCode(kVK_Space), 65);
  EXPECT_EQ(x11KeyCode(kVK_Return), 36);
  EXPECT_EQ(x11KeyCode(kVK_ANSI_N), 57);
  EXPECT_EQ(x11KeyCode(kVK_ANSI_R), 27);
  EXPECT_EQ(x11KeyCode(kVK_ANSI_A), 38);
  EXPECT_EQ(x11KeyCode(kVK_Escape), 9);
  EXPECT_EQ(x11KeyCode(kVK_LeftArrow), 113);
  EXPECT_EQ(x11KeyCode(kVK_UpArrow), 111);
  // Modifier keys and unused codes have no position of their own.
  EXPECT_EQ(x11KeyCode(55), std::nullopt); // Command
  EXPECT_EQ(x11KeyCode(52), std::nullopt);
  EXPECT_EQ(x11KeyCode(1000), std::nullopt);
}

TEST(CarbonKeyCodesTest, TheTableIsOneToOneBothWays) {
  std::set<std::uint8_t> seen;
  int mapped = 0;
  for (std::uint32_t carbon = 0; carbon < 128; ++carbon) {
    std::optional<std::uint8_t> x = x11KeyCode(carbon);
    if (!x)
      continue;
    ++mapped;
    EXPECT_TRUE(seen.insert(*x).second) << "two Carbon codes on X key " << int(*x);
    EXPECT_EQ(carbonKeyCodeFromX11(*x), carbon);
  }
  EXPECT_GT(mapped, 100);
  EXPECT_EQ(carbonKeyCodeFromX11(50), std::nullopt); // left Shift
  for (ShortcutAction action : allShortcutActions)
    EXPECT_TRUE(x11KeyCode(defaultBinding(action).carbonKeyCode)) << rawValue(action);
}

TEST(CarbonKeyCodesTest, ModifierMasksFollowTheKeyboardMapping) {
  EXPECT_EQ(x11ModifierMask(cmdKey | shiftKey), 0x5); // Control + Shift
  EXPECT_EQ(x11ModifierMask(optionKey), 0x8);         // Mod1 (Alt)
  EXPECT_EQ(x11ModifierMask(controlKey), 0x40);       // Mod4 (Super)
  EXPECT_EQ(x11ModifierMask(0xB00), 0xD);
  EXPECT_EQ(x11ModifierMask(0x00FF), 0); // bits that are no modifier
}

} // namespace
} // namespace vidorel
