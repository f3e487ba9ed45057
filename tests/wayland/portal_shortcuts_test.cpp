// Global hot keys through the fake GlobalShortcuts portal (with-pipewire's bus).

#include "shortcuts/key_positions.h"
#include "shortcuts/portal_global_shortcuts.h"
#include "shortcuts/settings_view.h"
#include "workflow/app_state_manager.h"

#include "fakes/fake_defaults_store.h"
#include "fakes/test_application.h"
#include "wayland/fake_portal.h"

#include <QLabel>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace vidorel {
namespace {

::testing::Environment* const qt =
    ::testing::AddGlobalTestEnvironment(new testing::QtApplicationEnvironment("offscreen"));

using testing::FakePortal;

// The desktop's user presses the shortcut `id`.
void pressOnTheDesktop(const std::string& id) {
  ASSERT_EQ(testing::onTheDesktop("Activate string:" + id), 0);
}

TEST(PortalTriggerText, UsesTheShortcutsFormatsModifiersAndKeysymNames) {
  std::uint64_t ctrlShift = shiftEventModifier | commandEventModifier;
  for (const auto& [key, modifiers, text] :
       std::vector<std::tuple<std::string, std::uint64_t, std::string>>{
           {" ", ctrlShift, "CTRL+SHIFT+space"},
           {"\r", ctrlShift, "CTRL+SHIFT+Return"},
           {"N", commandEventModifier, "CTRL+n"},
           {"k", controlEventModifier | optionEventModifier, "ALT+LOGO+k"},
           {"7", commandEventModifier, "CTRL+7"},
           {"", commandEventModifier, ""}})
    EXPECT_EQ(portalTriggerText({.keyEquivalent = key, .eventModifiers = modifiers}), text) << key;
  EXPECT_EQ(portalTriggerText(defaultBinding(ShortcutAction::endTake)), "CTRL+SHIFT+Return");
}

ShortcutBindings globalFactoryBindings() {
  ShortcutBindings bindings;
  for (ShortcutAction action : globalShortcutActions)
    bindings.emplace(action, defaultBinding(action));
  return bindings;
}

// Each shortcut's options by its id, from a call's `shortcuts`.
std::map<std::string, nlohmann::json> byId(const nlohmann::json& shortcuts) {
  std::map<std::string, nlohmann::json> found;
  for (const nlohmann::json& shortcut : shortcuts)
    found[shortcut[0]] = shortcut[1];
  return found;
}

bool reaches(const PortalGlobalShortcuts& keys, DesktopShortcutsState state) {
  return testing::spinUntil([&] { return keys.desktopStatus().state == state; },
                            std::chrono::seconds(5));
}

TEST(PortalGlobalShortcuts, BindsThePreferredTriggersAndActivatedRunsTheHandler) {
  FakePortal portal;
  ASSERT_TRUE(portal.ready());
  Logger logger;
  PortalGlobalShortcuts keys(logger);
  ASSERT_TRUE(keys.available());
  int endTakes = 0, pauses = 0;
  keys.setHandler(ShortcutAction::endTake, [&] { ++endTakes; });
  keys.setHandler(ShortcutAction::startPause, [&] { ++pauses; });
  ShortcutBindings bindings;
  bindings.emplace(ShortcutAction::endTake, defaultBinding(ShortcutAction::endTake));
  bindings.emplace(ShortcutAction::startPause, defaultBinding(ShortcutAction::startPause));
  keys.registerBindings(bindings);
  ASSERT_TRUE(reaches(keys, DesktopShortcutsState::bound));

  std::vector<nlohmann::json> binds = portal.calls("BindShortcuts");
  ASSERT_EQ(binds.size(), 1u);
  auto bound = byId(binds[0]["shortcuts"]);
  ASSERT_EQ(bound.size(), 2u);
  EXPECT_EQ(bound["endTake"]["preferred_trigger"], "CTRL+SHIFT+Return");
  EXPECT_EQ(bound["endTake"]["description"], "Start / End Take / Approve");
  EXPECT_EQ(bound["startPause"]["preferred_trigger"], "CTRL+SHIFT+space");
  EXPECT_EQ(portal.calls("GlobalShortcuts.CreateSession").size(), 1u);
  EXPECT_EQ(keys.assignedTrigger(ShortcutAction::endTake), "assigned CTRL+SHIFT+Return");
  EXPECT_EQ(keys.assignedTrigger(ShortcutAction::retake), "");

  pressOnTheDesktop("endTake");
  EXPECT_TRUE(testing::spinUntil([&] { return endTakes == 1; }, std::chrono::seconds(5)));
  EXPECT_EQ(pauses, 0);
  pressOnTheDesktop("startPause");
  EXPECT_TRUE(testing::spinUntil([&] { return pauses == 1; }, std::chrono::seconds(5)));

  // Unbound actions do nothing, whatever the desktop still sends.
  keys.unregisterAll();
  pressOnTheDesktop("endTake");
  testing::spinUntil([] { return false; }, std::chrono::milliseconds(400));
  EXPECT_EQ(endTakes, 1);
  // The same again (a settings row stopped listening) asks the desktop nothing.
  keys.registerBindings(bindings);
  pressOnTheDesktop("endTake");
  EXPECT_TRUE(testing::spinUntil([&] { return endTakes == 2; }, std::chrono::seconds(5)));
  EXPECT_EQ(portal.calls("BindShortcuts").size(), 1u);
  // Other bindings are asked for in the same session.
  bindings.emplace(ShortcutAction::retake, defaultBinding(ShortcutAction::retake));
  keys.registerBindings(bindings);
  EXPECT_EQ(keys.desktopStatus().state, DesktopShortcutsState::waiting);
  ASSERT_TRUE(reaches(keys, DesktopShortcutsState::bound));
  EXPECT_EQ(portal.calls("GlobalShortcuts.CreateSession").size(), 1u);
  EXPECT_EQ(portal.calls("BindShortcuts").size(), 2u);
  EXPECT_EQ(keys.assignedTrigger(ShortcutAction::retake), "assigned CTRL+SHIFT+r");
}

// The settings window over the portal's word, as the app builds it.
class PortalSettings {
public:
  explicit PortalSettings(PortalGlobalShortcuts& keys) {
    ShortcutSettingsServices services{
        preferences,
        keys,
        [this] { return preferences.shortcutBindings(); },
        [] {},
        [] { return true; },
        [](bool) {},
        nullptr,
        &keys,
        "/opt/vidorel/bin/vidorel",
    };
    view = std::make_unique<SettingsView>(std::make_unique<ShortcutSettings>(std::move(services)),
                                          usKeyboardLayout());
    watch = keys.addStatusObserver([this] { view->refresh(); });
    keys_ = &keys;
  }
  ~PortalSettings() { keys_->removeStatusObserver(watch); }

  std::string field(ShortcutAction action) const {
    return view->recorder(action)->text().toStdString();
  }
  std::string note(ShortcutAction action) const {
    QLabel* label = view->note(action);
    return label->isHidden() ? "-" : label->text().toStdString();
  }

  FakeDefaultsStore store;
  Preferences preferences{store};
  std::unique_ptr<SettingsView> view;
  DesktopShortcuts::ObserverID watch = 0;

private:
  PortalGlobalShortcuts* keys_ = nullptr;
};

TEST(PortalGlobalShortcuts, WaitsForTheDesktopsDialogWithoutBlockingAndTheRowsFollowIt) {
  FakePortal portal({"--hold-bind"});
  ASSERT_TRUE(portal.ready());
  Logger logger;
  PortalGlobalShortcuts keys(logger);
  PortalSettings settings(keys);
  keys.registerBindings(globalFactoryBindings());
  EXPECT_EQ(keys.desktopStatus().state, DesktopShortcutsState::waiting);
  ASSERT_TRUE(testing::spinUntil([&] { return portal.calls("BindShortcuts").size() == 1; },
                                 std::chrono::seconds(5)));
  // The event loop goes on while the desktop's dialog is open.
  bool ticked = false;
  QTimer::singleShot(100, [&] { ticked = true; });
  EXPECT_TRUE(testing::spinUntil([&] { return ticked; }, std::chrono::seconds(2)));
  EXPECT_EQ(keys.desktopStatus().state, DesktopShortcutsState::waiting);
  EXPECT_EQ(settings.field(ShortcutAction::endTake), "Asking the desktop…");
  EXPECT_TRUE(settings.view->recorder(ShortcutAction::endTake)->isReadOnly());

  ASSERT_EQ(testing::onTheDesktop("ReleaseBind"), 0);
  ASSERT_TRUE(reaches(keys, DesktopShortcutsState::bound));
  EXPECT_EQ(settings.field(ShortcutAction::endTake), "assigned CTRL+SHIFT+Return");
  EXPECT_EQ(settings.note(ShortcutAction::endTake), "Changed in the desktop's keyboard settings");
  EXPECT_EQ(settings.field(ShortcutAction::retake), "assigned CTRL+SHIFT+r");
  EXPECT_TRUE(settings.view->notice()->isHidden());
  // The menu's key equivalents stay the program's own.
  EXPECT_FALSE(settings.view->recorder(ShortcutAction::newSession)->isReadOnly());
  EXPECT_EQ(settings.note(ShortcutAction::newSession), "-");

  // The user gives End Take another key in the desktop's settings.
  ASSERT_EQ(testing::onTheDesktop("ChangeShortcut string:endTake string:Ctrl+Alt+E"), 0);
  EXPECT_TRUE(
      testing::spinUntil([&] { return settings.field(ShortcutAction::endTake) == "Ctrl+Alt+E"; },
                         std::chrono::seconds(5)))
      << settings.field(ShortcutAction::endTake);
  EXPECT_EQ(keys.assignedTrigger(ShortcutAction::endTake), "Ctrl+Alt+E");
  EXPECT_EQ(settings.field(ShortcutAction::retake), "assigned CTRL+SHIFT+r");
  // A click on a row the desktop owns does not listen for keys.
  settings.view->show();
  QTest::mouseClick(settings.view->recorder(ShortcutAction::endTake), Qt::LeftButton);
  EXPECT_FALSE(settings.view->recorder(ShortcutAction::endTake)->isRecording());
}

TEST(PortalGlobalShortcuts, ADesktopThatBindsAtTheSessionsStartIsNotAskedAgain) {
  FakePortal portal({"--bind-at-session"});
  ASSERT_TRUE(portal.ready());
  Logger logger;
  PortalGlobalShortcuts keys(logger);
  int nextScenes = 0;
  keys.setHandler(ShortcutAction::nextScene, [&] { ++nextScenes; });
  keys.registerBindings(globalFactoryBindings());
  ASSERT_TRUE(reaches(keys, DesktopShortcutsState::bound));

  std::vector<nlohmann::json> sessions = portal.calls("GlobalShortcuts.CreateSession");
  ASSERT_EQ(sessions.size(), 1u);
  // The same token at every start: the desktop keeps the program's entry.
  EXPECT_EQ(sessions[0]["session_handle_token"], "vidorel");
  auto bound = byId(sessions[0]["shortcuts"]);
  ASSERT_EQ(bound.size(), 4u);
  EXPECT_EQ(bound["endTake"]["preferred_trigger"], "CTRL+SHIFT+Return");
  EXPECT_EQ(bound["nextScene"]["description"], std::string(title(ShortcutAction::nextScene)));
  // Asking again would only open the desktop's settings page.
  EXPECT_TRUE(portal.calls("BindShortcuts").empty());
  EXPECT_EQ(keys.assignedTrigger(ShortcutAction::endTake), "assigned CTRL+SHIFT+Return");
  EXPECT_EQ(keys.desktopStatus().triggers.size(), 4u);
  pressOnTheDesktop("nextScene");
  EXPECT_TRUE(testing::spinUntil([&] { return nextScenes == 1; }, std::chrono::seconds(5)));
}

// A cancelled dialog, or a success binding nothing (Plasma 5.27): refused (the
// rows then: ShortcutRowContent), and the desktop is not asked again.
TEST(PortalGlobalShortcuts, ARefusedBindingShowsTheCommandsToBindAndIsNotAskedAgain) {
  for (const char* refusal : {"--refuse-bind", "--bind-nothing"}) {
    SCOPED_TRACE(refusal);
    FakePortal portal({refusal});
    ASSERT_TRUE(portal.ready());
    Logger logger;
    PortalGlobalShortcuts keys(logger);
    int endTakes = 0;
    keys.setHandler(ShortcutAction::endTake, [&] { ++endTakes; });
    keys.registerBindings(globalFactoryBindings());
    ASSERT_TRUE(reaches(keys, DesktopShortcutsState::refused));
    EXPECT_TRUE(keys.desktopStatus().triggers.empty());
    pressOnTheDesktop("endTake");
    // A settings row stopping its listening binds the same again.
    keys.unregisterAll();
    keys.registerBindings(globalFactoryBindings());
    testing::spinUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(endTakes, 0);
    EXPECT_EQ(portal.calls("BindShortcuts").size(), 1u);
  }
}

} // namespace
} // namespace vidorel
