// The key table, bindings, the recorder, the settings rows' rules.

#include "fakes/fake_defaults_store.h"
#include "shell/shell_control.h"
#include "shortcuts/desktop_shortcuts.h"
#include "shortcuts/key_positions.h"
#include "shortcuts/keyboard_layout.h"
#include "shortcuts/shortcut_action.h"
#include "shortcuts/shortcut_binding.h"
#include "shortcuts/shortcut_conflicts.h"
#include "shortcuts/shortcut_json.h"
#include "shortcuts/shortcut_recorder.h"
#include "shortcuts/shortcut_settings.h"
#include "shortcuts/text_case.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <set>

namespace vidorel {
namespace {

// What must hold of every entry of the table.
TEST(KeyPositionsTest, TheTableIsOneToOneBothWaysAndOrdered) {
  std::set<std::uint8_t> seenX;
  std::optional<std::uint32_t> previous;
  for (const KeyPosition& key : keyPositions()) {
    EXPECT_TRUE(!previous || key.carbon > *previous) << key.carbon;
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
  // Each factory binding is a key press's, its two modifier fields in step.
  for (ShortcutAction action : allShortcutActions) {
    ShortcutBinding factory = defaultBinding(action);
    EXPECT_TRUE(isShortcutKeyCode(factory.carbonKeyCode)) << rawValue(action);
    ModifierSet held{ModifierKey::command, ModifierKey::shift};
    if (factory.carbonModifiers & optionKey)
      held.insert(ModifierKey::option);
    EXPECT_EQ(bindingFromKeyPress(factory.carbonKeyCode, held,
                                  usKeyboardLayout().keyText(factory.carbonKeyCode)),
              factory)
        << rawValue(action);
  }
  // Control + Shift, Mod1 (Alt), Mod4 (Super); bits that are no modifier drop.
  EXPECT_EQ(x11ModifierMask(cmdKey | shiftKey | optionKey | controlKey | 0xFF), 0x4D);
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

// Modifiers map one to one, locks ignored; the key equivalent from code or text.
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

// One malformed binding (or a non-object) empties the whole object.
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

const ModifierSet kCommandShift{ModifierKey::command, ModifierKey::shift};

// A click listens; lone modifiers and keys hot keys cannot take keep it
// listening; Escape (or a binding published meanwhile) leaves the binding.
TEST(ShortcutRecorderTest, ListensUntilAKeyIsAcceptedOrEscapeIsPressed) {
  ShortcutRecorder recorder;
  recorder.setBinding(defaultBinding(ShortcutAction::startPause));
  std::vector<std::string> events;
  std::vector<ShortcutBinding> offered;
  int unusable = 0;
  recorder.onRecordingStarted = [&] { events.push_back("started"); };
  recorder.onRecordingStopped = [&] { events.push_back("stopped"); };
  recorder.onUnusableKey = [&] { ++unusable; };
  recorder.accept = [&](const ShortcutBinding& candidate) {
    offered.push_back(candidate);
    return std::nullopt;
  };
  EXPECT_FALSE(recorder.keyPress(kVK_ANSI_K, kCommandShift, "k"));
  recorder.click();
  recorder.click();
  EXPECT_EQ(recorder.text(usKeyboardLayout()), "Press shortcut…");
  for (std::uint32_t code = 54; code <= 63; ++code)
    EXPECT_TRUE(recorder.keyPress(code, kCommandShift, ""));
  recorder.setBinding(std::nullopt);
  EXPECT_TRUE(recorder.keyPress(kVK_Escape, {}, "\x1b"));
  EXPECT_FALSE(recorder.isRecording());
  EXPECT_EQ(recorder.binding(), defaultBinding(ShortcutAction::startPause));
  EXPECT_TRUE(offered.empty());
  EXPECT_EQ(unusable, 0);

  recorder.click();
  // Num Lock and a code without a key.
  EXPECT_TRUE(recorder.keyPress(0x47, kCommandShift, ""));
  EXPECT_TRUE(recorder.keyPress(52, kCommandShift, ""));
  EXPECT_EQ(unusable, 2);
  // Print, which the hot keys grab at its own position, is taken.
  EXPECT_TRUE(recorder.keyPress(105, kCommandShift, ""));
  EXPECT_FALSE(recorder.isRecording());
  ASSERT_EQ(offered.size(), 1u);
  EXPECT_EQ(recorder.text(usKeyboardLayout()), "Ctrl+Shift+Print");
  EXPECT_EQ(events, (std::vector<std::string>{"started", "stopped", "started", "stopped"}));
}

// Registration results and the desktop's word set by the test.
class FakeServices final : public HotKeyRegistrations,
                           public DesktopShortcuts,
                           public GlobalShortcuts {
public:
  std::map<ShortcutAction, int> errors;
  DesktopShortcutsStatus status;
  std::optional<int> registrationError(ShortcutAction action) const override {
    auto found = errors.find(action);
    return found == errors.end() ? std::nullopt : std::optional<int>(found->second);
  }
  DesktopShortcutsStatus desktopStatus() const override { return status; }
  ObserverID addStatusObserver(std::function<void()>) override { return 1; }
  void removeStatusObserver(ObserverID) override {}
  void setHandler(ShortcutAction, std::function<void()>) override {}
  void registerBindings(const ShortcutBindings&) override {}
  void unregisterAll() override {}
};

// The recorder's warning first, then the registration's; the X server's
// refusal says nothing about keys the desktop owns.
TEST(ShortcutSettingsTest, RefusedKeysAndRegistrationsWarnUnderTheProgramsRows) {
  FakeDefaultsStore store;
  Preferences preferences(store);
  FakeServices services;
  ShortcutSettings settings(ShortcutSettingsServices{
      preferences, services, [&] { return preferences.shortcutBindings(); }, [] {},
      [] { return true; }, [](bool) {}, &services, &services, "vidorel"});
  settings.refuseKey(ShortcutAction::save);
  EXPECT_EQ(settings.warning(ShortcutAction::save), kUnusableKeyWarning);
  // A free combination afterwards clears it.
  settings.conflict(ShortcutAction::save, defaultBinding(ShortcutAction::save));
  EXPECT_EQ(settings.warning(ShortcutAction::save), "");

  services.errors[ShortcutAction::nextScene] = kHotKeyHeldElsewhereStatus;
  services.errors[ShortcutAction::retake] = -50;
  services.errors[ShortcutAction::save] = kHotKeyHeldElsewhereStatus;
  EXPECT_EQ(settings.warning(ShortcutAction::retake), kNotRegisteredWarning);
  EXPECT_EQ(settings.warning(ShortcutAction::startPause), "");
  settings.conflict(ShortcutAction::nextScene,
                    bindingFromKeyPress(kVK_ANSI_K, {ModifierKey::command}, "k"));
  EXPECT_EQ(settings.warning(ShortcutAction::nextScene),
            "May conflict with other apps during presentation\n"
            "Not working: another program uses it");

  services.status.state = DesktopShortcutsState::waiting;
  EXPECT_EQ(settings.warning(ShortcutAction::nextScene), "");
  EXPECT_EQ(settings.warning(ShortcutAction::save), kHeldElsewhereWarning);
}

namespace fs = std::filesystem;
using namespace std::string_literals;

// A global action's row and the notice in each state of the desktop's keys.
TEST(ShortcutRowContent, RowsFollowTheDesktopsState) {
  using S = DesktopShortcutsState;
  using A = ShortcutAction;
  struct Case {
    DesktopShortcutsState state;
    ShortcutAction action;
    bool recordable;
    const char* fieldText; // nullptr: the recorder shows the binding
    const char* note;
    std::string notice;
  };
  const std::map<ShortcutAction, std::string> triggers{{A::endTake, "Ctrl+Shift+Return"}};
  const Case cases[] = {
      {S::notUsed, A::endTake, true, nullptr, "", ""},
      {S::bound, A::endTake, false, "Ctrl+Shift+Return",
       "Changed in the desktop's keyboard settings", ""},
      {S::bound, A::retake, false, "None", "Assign it in the desktop's keyboard settings", ""},
      {S::waiting, A::startPause, false, "Asking the desktop…", "The desktop assigns it", ""},
      {S::absent, A::startPause, false, "In desktop settings", "vidorel ctl start-pause",
       kNoShortcutsPortalNotice},
      {S::refused, A::endTake, false, nullptr, "vidorel ctl end-take", kShortcutsRefusedNotice},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(rawValue(c.action)) + " " + c.note);
    DesktopShortcutsStatus status{c.state, triggers};
    ShortcutRowContent row = shortcutRowContent(c.action, status, "vidorel");
    EXPECT_EQ(row.recordable, c.recordable);
    if (c.fieldText) {
      EXPECT_EQ(row.fieldText, c.fieldText);
    }
    EXPECT_EQ(row.note, c.note);
    EXPECT_EQ(desktopShortcutsNotice(status), c.notice);
    ShortcutRowContent own = shortcutRowContent(A::save, status, "vidorel");
    EXPECT_TRUE(own.recordable && own.note.empty());
  }
}

TEST(ShortcutRowContent, TheCommandsAreTheOnesVidorelCtlTakes) {
  for (ShortcutAction action : globalShortcutActions) {
    std::optional<CtlAction> ctl = parseCtlAction(ctlWord(action));
    ASSERT_TRUE(ctl.has_value()) << rawValue(action);
    EXPECT_EQ(hotKeyAction(*ctl), action);
  }
  EXPECT_EQ(ctlWord(ShortcutAction::save), "");
}

// The plain name only when PATH finds this program first; else the full
// path, quoted when it must be.
TEST(CtlProgramNameTest, ThePlainNameWhenPathFindsThisProgramElseTheFullPath) {
  fs::path root = vidorel::testing::makeTemporaryFolder("path");
  auto program = [](const fs::path& path, bool runnable = true) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "#!/bin/sh\n";
    fs::permissions(path, runnable ? fs::perms::owner_all : fs::perms::owner_read);
  };
  fs::path executable = root / "build" / "vidorel";
  program(executable);
  fs::create_directories(root / "bin");
  fs::create_symlink(executable, root / "bin" / "vidorel");
  program(root / "old" / "vidorel");
  // A file that cannot be run is not what a command starts.
  program(root / "text" / "vidorel", false);
  const std::string bin = (root / "bin").string();
  for (auto [path, name] : {std::pair{"/nonexistent:" + bin + ":/usr/bin", "vidorel"s},
                            std::pair{(root / "text").string() + ":" + bin, "vidorel"s},
                            std::pair{"/nonexistent:/usr/bin"s, executable.string()},
                            std::pair{(root / "old").string() + ":" + bin, executable.string()}})
    EXPECT_EQ(ctlProgramName(executable, path), name) << path;
  fs::path spaced = root / "my apps" / "it's" / "vidorel";
  program(spaced);
  EXPECT_EQ(ctlProgramName(spaced, "/usr/bin"),
            "'" + (root / "my apps").string() + "/it'\\''s/vidorel'");
  fs::remove_all(root);
}

} // namespace
} // namespace vidorel
