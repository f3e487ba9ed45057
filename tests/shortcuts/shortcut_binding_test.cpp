// The key table, and bindings: how they are made from key presses, named,
// checked for conflicts and stored.

#include "shortcuts/key_positions.h"
#include "shortcuts/keyboard_layout.h"
#include "shortcuts/shortcut_action.h"
#include "shortcuts/shortcut_binding.h"
#include "shortcuts/shortcut_conflicts.h"
#include "shortcuts/shortcut_json.h"
#include "shortcuts/text_case.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <set>

namespace vidorel {
namespace {

// The table itself is data; what must hold of every entry is checked here,
// and the keys are pressed for real in the X11 hot-key tests.
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
  // Control + Shift, Mod1 (Alt), Mod4 (Super); bits that are no modifier drop.
  EXPECT_EQ(x11ModifierMask(cmdKey | shiftKey | optionKey | controlKey | 0xFF), 0x4D);
}

TEST(ShortcutActionTest, RawValuesRoundTripAndOtherStringsGiveNoAction) {
  for (ShortcutAction action : allShortcutActions)
    EXPECT_EQ(shortcutActionFromRawValue(rawValue(action)), action) << rawValue(action);
  EXPECT_EQ(rawValue(ShortcutAction::export_), "export");
  for (const char* other : {"SaveAs", "export_", "", "startPause "})
    EXPECT_EQ(shortcutActionFromRawValue(other), std::nullopt) << other;
}

TEST(ShortcutActionTest, FactoryBindingsKeepBothModifierFieldsInStep) {
  // Rebuilding each factory binding from the key press it stands for gives
  // the same record, so the two modifier fields agree.
  const KeyboardLayout& layout = usKeyboardLayout();
  for (ShortcutAction action : allShortcutActions) {
    ShortcutBinding factory = defaultBinding(action);
    ModifierSet held{ModifierKey::command, ModifierKey::shift};
    if (factory.carbonModifiers & optionKey)
      held.insert(ModifierKey::option);
    std::string text = layout.keyText(factory.carbonKeyCode);
    EXPECT_EQ(bindingFromKeyPress(factory.carbonKeyCode, held, text), factory) << rawValue(action);
  }
}

// Modifiers show in a fixed order; fixed names win over a layout that
// claims text for special keys; unknown keys show "?".
TEST(ShortcutDisplayTest, FixedModifierOrderAndKeyNames) {
  ShortcutBinding all{kVK_ANSI_A, cmdKey | shiftKey | optionKey | controlKey, "a", 30};
  EXPECT_EQ(all.displayString(usKeyboardLayout()), "Meta+Ctrl+Alt+Shift+A");
  TableKeyboardLayout noisy({{kVK_Return, "\r"}, {kVK_Escape, "\x1b"}, {kVK_LeftArrow, "x"}});
  std::vector<std::string> names;
  for (std::uint32_t code : {kVK_Return, kVK_Escape, kVK_LeftArrow, kVK_ANSI_A})
    names.push_back(keyName(code, noisy));
  EXPECT_EQ(names, (std::vector<std::string>{"Return", "Esc", "Left", "?"}));
  EXPECT_EQ(keyName(200, usKeyboardLayout()), "?");
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

// Modifier flags map one to one, lock state is ignored; the key equivalent
// comes from the key code or the lower-cased characters.
TEST(KeyPressTest, ModifiersAndKeyEquivalent) {
  ShortcutBinding binding =
      bindingFromKeyPress(kVK_ANSI_K,
                          {ModifierKey::control, ModifierKey::option, ModifierKey::capsLock,
                           ModifierKey::function, ModifierKey::numericPad},
                          "k");
  EXPECT_EQ(binding, (ShortcutBinding{kVK_ANSI_K, controlKey | optionKey, "k",
                                      controlEventModifier | optionEventModifier}));
  ModifierSet held{ModifierKey::command};
  EXPECT_EQ(bindingFromKeyPress(kVK_Space, held, "x").keyEquivalent, " ");
  EXPECT_EQ(bindingFromKeyPress(kVK_Return, held, "\x03").keyEquivalent, "\r");
  EXPECT_EQ(bindingFromKeyPress(kVK_ANSI_A, held, "Ä").keyEquivalent, "ä");
  EXPECT_EQ(bindingFromKeyPress(kVK_Escape, held, "").keyEquivalent, "?");
}

// Keys that type nothing, or a control code, are known by their position;
// a "?" the key really types stays one.
TEST(MenuKeyNameTest, SpaceReturnTabAndFirstCharacter) {
  struct Case {
    std::uint32_t code;
    const char* text;
    const char* name;
  };
  for (Case c : {Case{kVK_Space, " ", "Space"}, Case{kVK_Tab, "\t", "Tab"},
                 Case{kVK_ANSI_A, "", ""}, Case{kVK_ANSI_A, "äb", "Ä"}, Case{105, "?", "Print"},
                 Case{0x4C, "\r", "Enter"}, Case{kVK_ANSI_A, "?", "?"}})
    EXPECT_EQ(menuKeyName(ShortcutBinding{c.code, cmdKey, c.text, 16}), c.name) << c.code;
}

using Bindings = std::map<ShortcutAction, ShortcutBinding>;

// Only key code and mask are compared; a missing entry counts with its
// factory binding; the first match in action order wins.
TEST(ConflictTest, TheActionThatHoldsACombinationAndTheRowsWarning) {
  const ShortcutBinding shared{40, 0x300, "k", 18};
  const Bindings customised{{ShortcutAction::save, shared}, {ShortcutAction::openSession, shared}};
  const std::string mayConflict = "May conflict with other apps during presentation";
  struct Case {
    ShortcutAction row;
    ShortcutBinding candidate;
    Bindings bindings;
    std::optional<ShortcutAction> holder;
    std::string warning;
  };
  const Case cases[] = {
      {ShortcutAction::nextScene, ShortcutBinding{45, 0xB00, "n", 26}, Bindings{},
       ShortcutAction::newSession, "Already used by New Recording"},
      // The row's own binding is skipped.
      {ShortcutAction::nextScene, defaultBinding(ShortcutAction::nextScene), Bindings{},
       std::nullopt, ""},
      // Retake's key with other modifiers is free.
      {ShortcutAction::save, ShortcutBinding{15, 0xB00, "r", 26}, Bindings{}, std::nullopt, ""},
      {ShortcutAction::startPause, defaultBinding(ShortcutAction::export_), Bindings{},
       ShortcutAction::export_, "Already used by Export Final Video"},
      // Save moved away, so its factory combination is free.
      {ShortcutAction::retake, defaultBinding(ShortcutAction::save), customised, std::nullopt, ""},
      {ShortcutAction::retake, shared, customised, ShortcutAction::openSession,
       "Already used by Open Recording"},
      // Without both Command and Shift: accepted with a warning.
      {ShortcutAction::retake, ShortcutBinding{40, controlKey | optionKey, "k", 12}, Bindings{},
       std::nullopt, mayConflict},
      {ShortcutAction::retake, ShortcutBinding{40, cmdKey | shiftKey | controlKey, "k", 22},
       Bindings{}, std::nullopt, ""},
  };
  for (const Case& c : cases) {
    ConflictCheck check = conflictingAction(c.row, c.candidate, c.bindings);
    SCOPED_TRACE(std::string(rawValue(c.row)) + " " + std::to_string(c.candidate.carbonKeyCode) +
                 "/" + std::to_string(c.candidate.carbonModifiers));
    EXPECT_EQ(check.conflictingAction, c.holder);
    EXPECT_EQ(check.warning, c.warning);
  }
}

using Shortcuts = std::map<std::string, ShortcutBinding>;

// Unknown action names are kept, extra members ignored, and whole numbers
// written as floats still count.
TEST(ShortcutJsonTest, DecodesEveryMemberKeepingUnknownNames) {
  EXPECT_EQ(decodeCustomShortcuts(R"({
    "nextScene": {"carbonKeyCode": 40, "carbonModifiers": 256, "keyEquivalent": "k",
                  "eventModifiers": 16},
    "somethingNewer": {"carbonKeyCode": 1.0, "carbonModifiers": 4096, "keyEquivalent": "s",
                       "eventModifiers": 4.0, "comment": "mine"}})"),
            (Shortcuts{{"nextScene", {40, 256, "k", 16}}, {"somethingNewer", {1, 4096, "s", 4}}}));
}

TEST(ShortcutJsonTest, EncodingRoundTripsAndWritesExactlyFourMembersPerBinding) {
  Shortcuts shortcuts{{"endTake", {36, 0x300, "\r", 18}},
                      {"futureAction", {0, 0, "?", 0}},
                      {"largest", {4294967295u, 4294967295u, "s", 18446744073709551615ull}}};
  std::optional<std::string> text = encodeCustomShortcuts(shortcuts);
  ASSERT_TRUE(text);
  EXPECT_EQ(decodeCustomShortcuts(*text), shortcuts);
  nlohmann::json document = nlohmann::json::parse(*text);
  for (const auto& [name, value] : document.items())
    EXPECT_EQ(value.size(), 4u) << name;
  EXPECT_EQ(encodeCustomShortcuts({}), "{}");
  // A key equivalent that is not UTF-8 cannot be encoded.
  EXPECT_EQ(encodeCustomShortcuts({{"save", {1, 768, "\xff", 18}}}), std::nullopt);
}

// One malformed binding beside a good one empties the whole object, as
// does text that is not an object.
TEST(ShortcutJsonTest, AnythingMalformedReadsAsEmpty) {
  const std::string good =
      R"("save": {"carbonKeyCode": 1, "carbonModifiers": 768, "keyEquivalent": "s", "eventModifiers": 18})";
  const std::vector<std::string> bad = {
      R"("retake": {"carbonModifiers": 768, "keyEquivalent": "r", "eventModifiers": 18})",
      R"("retake": {"carbonKeyCode": "15", "carbonModifiers": 768, "keyEquivalent": "r", "eventModifiers": 18})",
      R"("retake": {"carbonKeyCode": -1, "carbonModifiers": 768, "keyEquivalent": "r", "eventModifiers": 18})",
      R"("retake": {"carbonKeyCode": 4294967296, "carbonModifiers": 768, "keyEquivalent": "r", "eventModifiers": 18})",
      R"("retake": {"carbonKeyCode": 15.5, "carbonModifiers": 768, "keyEquivalent": "r", "eventModifiers": 18})",
      R"("retake": {"carbonKeyCode": 15, "carbonModifiers": 768, "keyEquivalent": 7, "eventModifiers": 18})",
      R"("retake": [15, 768, "r", 18])",
  };
  ASSERT_EQ(decodeCustomShortcuts("{" + good + "}").size(), 1u);
  for (const std::string& member : bad) {
    EXPECT_TRUE(decodeCustomShortcuts("{" + good + ", " + member + "}").empty()) << member;
    EXPECT_TRUE(decodeCustomShortcuts("{" + member + ", " + good + "}").empty()) << member;
  }
  for (const char* text : {"", "not json", "[]", "null", "{\"save\": ", "\"{}\""})
    EXPECT_TRUE(decodeCustomShortcuts(text).empty()) << text;
}

} // namespace
} // namespace vidorel
