#include "shortcuts/keyboard_layout.h"
#include "shortcuts/shortcut_action.h"
#include "shortcuts/shortcut_binding.h"
#include "shortcuts/text_case.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {

// The letters of the US layout that the factory bindings use.
TableKeyboardLayout usLayout() {
  return TableKeyboardLayout({{kVK_ANSI_A, "a"},
                              {kVK_ANSI_S, "s"},
                              {kVK_ANSI_E, "e"},
                              {kVK_ANSI_R, "r"},
                              {kVK_ANSI_O, "o"},
                              {kVK_ANSI_N, "n"},
                              {kVK_ANSI_K, "k"}});
}

TEST(ShortcutActionTest, RawValuesRoundTripAndOtherStringsGiveNoAction) {
  for (ShortcutAction action : allShortcutActions)
    EXPECT_EQ(shortcutActionFromRawValue(rawValue(action)), action) << rawValue(action);
  EXPECT_EQ(shortcutActionFromRawValue("saveAs"), allShortcutActions[7]);
  EXPECT_EQ(rawValue(ShortcutAction::export_), "export");
  EXPECT_EQ(shortcutActionFromRawValue("SaveAs"), std::nullopt);
  EXPECT_EQ(shortcutActionFromRawValue("export_"), std::nullopt);
  EXPECT_EQ(shortcutActionFromRawValue(""), std::nullopt);
  EXPECT_EQ(shortcutActionFromRawValue("startPause "), std::nullopt);
}

TEST(ShortcutActionTest, FactoryBindingsKeepBothModifierFieldsInStep) {
  // Rebuilding each factory binding from the key press it stands for gives
  // the same record, so the two modifier fields agree.
  TableKeyboardLayout layout = usLayout();
  for (ShortcutAction action : allShortcutActions) {
    ShortcutBinding factory = defaultBinding(action);
    ModifierSet held{ModifierKey::command, ModifierKey::shift};
    if (factory.carbonModifiers & optionKey)
      held.insert(ModifierKey::option);
    std::string text = layout.keyText(factory.carbonKeyCode);
    EXPECT_EQ(bindingFromKeyPress(factory.carbonKeyCode, held, text), factory) << rawValue(action);
  }
}

TEST(ShortcutDisplayTest, ModifiersShowInFixedOrderWhateverTheMaskOrder) {
  TableKeyboardLayout layout = usLayout();
  ShortcutBinding all{kVK_ANSI_A, cmdKey | shiftKey | optionKey | controlKey, "a", 30};
  EXPECT_EQ(all.displayString(layout), "Meta+Ctrl+Alt+Shift+A");
  EXPECT_EQ((ShortcutBinding{kVK_ANSI_K, controlKey | cmdKey, "k", 20}).displayString(layout),
            "Meta+Ctrl+K");
  EXPECT_EQ((ShortcutBinding{kVK_ANSI_K, 0, "k", 0}).displayString(layout), "K");
}

TEST(ShortcutDisplayTest, FixedNamesWinOverTheLayoutAndUnknownKeysShowQuestionMark) {
  // A layout that claims text for every special key must not rename them.
  TableKeyboardLayout noisy({{kVK_Return, "\r"},
                             {kVK_Tab, "\t"},
                             {kVK_Space, " "},
                             {kVK_Delete, "\b"},
                             {kVK_Escape, "\x1b"},
                             {kVK_LeftArrow, "x"},
                             {kVK_RightArrow, "x"},
                             {kVK_DownArrow, "x"},
                             {kVK_UpArrow, "x"}});
  std::vector<std::string> names;
  for (std::uint32_t code : {36u, 48u, 49u, 51u, 53u, 123u, 124u, 125u, 126u})
    names.push_back(keyName(code, noisy));
  EXPECT_EQ(names, (std::vector<std::string>{"Return", "Tab", "Space", "Backspace", "Esc", "Left",
                                             "Right", "Down", "Up"}));
  TableKeyboardLayout empty;
  EXPECT_EQ(keyName(kVK_ANSI_A, empty), "?");
  EXPECT_EQ(keyName(200, usLayout()), "?");
}

TEST(ShortcutDisplayTest, LayoutTextIsUpperCasedBeyondAscii) {
  TableKeyboardLayout layout({{kVK_ANSI_A, "ä"},
                              {kVK_ANSI_S, "й"},
                              {kVK_ANSI_E, "ς"},
                              {kVK_ANSI_R, "ß"},
                              {kVK_ANSI_O, "1"},
                              {kVK_ANSI_N, "ł"}});
  EXPECT_EQ(keyName(kVK_ANSI_A, layout), "Ä");
  EXPECT_EQ(keyName(kVK_ANSI_S, layout), "Й");
  EXPECT_EQ(keyName(kVK_ANSI_E, layout), "Σ");
  EXPECT_EQ(keyName(kVK_ANSI_R, layout), "SS");
  EXPECT_EQ(keyName(kVK_ANSI_O, layout), "1");
  EXPECT_EQ(keyName(kVK_ANSI_N, layout), "Ł");
}

TEST(TextCaseTest, MapsLettersBothWaysAndKeepsEverythingElse) {
  EXPECT_EQ(upperCased("aÿžĺıœ"), "AŸŽĹIŒ");
  EXPECT_EQ(lowerCased("AŸŽĹİŒ"), "aÿžĺiœ");
  EXPECT_EQ(lowerCased("ΆΈΣЁЯ"), "άέσёя");
  EXPECT_EQ(upperCased("άέσёя"), "ΆΈΣЁЯ");
  EXPECT_EQ(upperCased("÷×,€"), "÷×,€");
  // Malformed bytes pass through instead of being lost or read past.
  EXPECT_EQ(upperCased("a\xC3"), "A\xC3");
  EXPECT_EQ(upperCased("\xE2\x82z"), "\xE2\x82Z");
  EXPECT_EQ(lowerCased("\xC0\xAF"), "\xC0\xAF"); // overlong "/"
}

TEST(KeyPressTest, ModifierFlagsMapOneToOneAndLockStateIsIgnored) {
  ShortcutBinding binding =
      bindingFromKeyPress(kVK_ANSI_K,
                          {ModifierKey::control, ModifierKey::option, ModifierKey::capsLock,
                           ModifierKey::function, ModifierKey::numericPad},
                          "k");
  EXPECT_EQ(binding, (ShortcutBinding{kVK_ANSI_K, controlKey | optionKey, "k",
                                      controlEventModifier | optionEventModifier}));
  EXPECT_EQ(bindingFromKeyPress(kVK_ANSI_K, {ModifierKey::capsLock}, "k"),
            (ShortcutBinding{kVK_ANSI_K, 0, "k", 0}));
}

TEST(KeyPressTest, KeyEquivalentComesFromTheKeyCodeOrTheLowerCasedCharacters) {
  ModifierSet held{ModifierKey::command};
  EXPECT_EQ(bindingFromKeyPress(kVK_Space, held, "x").keyEquivalent, " ");
  EXPECT_EQ(bindingFromKeyPress(kVK_Tab, held, "").keyEquivalent, "\t");
  EXPECT_EQ(bindingFromKeyPress(kVK_Return, held, "\x03").keyEquivalent, "\r");
  EXPECT_EQ(bindingFromKeyPress(kVK_ANSI_K, held, "K").keyEquivalent, "k");
  EXPECT_EQ(bindingFromKeyPress(kVK_ANSI_A, held, "Ä").keyEquivalent, "ä");
  EXPECT_EQ(bindingFromKeyPress(kVK_Escape, held, "").keyEquivalent, "?");
  EXPECT_EQ(bindingFromKeyPress(kVK_UpArrow, {}, "").carbonModifiers, 0u);
}

TEST(MenuKeyNameTest, SpaceReturnTabAndFirstCharacter) {
  EXPECT_EQ(menuKeyName(defaultBinding(ShortcutAction::startPause)), "Space");
  EXPECT_EQ(menuKeyName(defaultBinding(ShortcutAction::endTake)), "Return");
  EXPECT_EQ(menuKeyName(ShortcutBinding{kVK_Tab, controlKey, "\t", controlEventModifier}), "Tab");
  EXPECT_EQ(menuKeyName(ShortcutBinding{kVK_ANSI_A, cmdKey, "", 16}), "");
  EXPECT_EQ(menuKeyName(ShortcutBinding{24, cmdKey, "+", 16}), "+");
  EXPECT_EQ(menuKeyName(ShortcutBinding{kVK_ANSI_A, cmdKey, "äb", 16}), "Ä");
  // Keys that type nothing, or a control code, are known by their position.
  EXPECT_EQ(menuKeyName(ShortcutBinding{0x7A, cmdKey, "?", 16}), "F1");
  EXPECT_EQ(menuKeyName(ShortcutBinding{105, cmdKey, "?", 16}), "Print");
  EXPECT_EQ(menuKeyName(ShortcutBinding{kVK_UpArrow, cmdKey, "?", 16}), "Up");
  EXPECT_EQ(menuKeyName(ShortcutBinding{0x4C, cmdKey, "\r", 16}), "Enter");
  // A "?" the key really types stays one.
  EXPECT_EQ(menuKeyName(ShortcutBinding{kVK_ANSI_A, cmdKey, "?", 16}), "?");
}

} // namespace
} // namespace vidorel
