#include "shell/menu_model.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {

using Bindings = std::map<ShortcutAction, ShortcutBinding>;

ShortcutBinding binding(std::uint32_t code, std::uint32_t carbon, std::string key,
                        std::uint64_t event) {
  return ShortcutBinding{code, carbon, std::move(key), event};
}

// The factory table, written out so the test does not lean on the code that
// makes it.
Bindings factoryBindings() {
  const std::uint64_t cs = commandEventModifier | shiftEventModifier;
  const std::uint64_t cso = cs | optionEventModifier;
  return {
      {ShortcutAction::startPause, binding(49, 0x300, " ", cs)},
      {ShortcutAction::endTake, binding(36, 0x300, "\r", cs)},
      {ShortcutAction::nextScene, binding(45, 0x300, "n", cs)},
      {ShortcutAction::retake, binding(15, 0x300, "r", cs)},
      {ShortcutAction::newSession, binding(45, 0xB00, "n", cso)},
      {ShortcutAction::openSession, binding(31, 0x300, "o", cs)},
      {ShortcutAction::save, binding(1, 0x300, "s", cs)},
      {ShortcutAction::saveAs, binding(1, 0xB00, "s", cso)},
      {ShortcutAction::export_, binding(14, 0x300, "e", cs)},
  };
}

Session sessionWithScenes(int count) {
  Session session("/tmp/scratch/ABC");
  while (static_cast<int>(session.scenes.size()) < count)
    session.scenes.push_back(RecordingScene{});
  return session;
}

class MenuModelTest : public ::testing::Test {
protected:
  std::vector<MenuEntry> menu(AppState state, const Session* session = nullptr, int take = 1) {
    MenuInput input;
    input.state = state;
    input.currentSession = session;
    input.currentTakeNumber = take;
    input.recoverableSessions = &recovered;
    input.shortcutBindings = &bindings;
    return buildMenu(input);
  }

  static const MenuEntry& find(const std::vector<MenuEntry>& entries, const std::string& title) {
    for (const MenuEntry& entry : entries)
      if (entry.title == title)
        return entry;
    ADD_FAILURE() << "no item " << title;
    static MenuEntry none;
    return none;
  }

  // Each item's command and the action whose binding it shows.
  struct Item {
    const char* title;
    MenuCommand command;
    std::optional<ShortcutAction> keyOf;
  };
  void expectItems(const std::vector<MenuEntry>& entries, std::initializer_list<Item> items) {
    for (const Item& item : items) {
      const MenuEntry& entry = find(entries, item.title);
      EXPECT_EQ(entry.command, item.command) << item.title;
      EXPECT_EQ(entry.keyEquivalentOf, item.keyOf) << item.title;
      if (item.keyOf) {
        EXPECT_EQ(entry.keyEquivalent, bindings[*item.keyOf]) << item.title;
      }
    }
  }

  Bindings bindings = factoryBindings();
  std::vector<Session> recovered;
};

const std::string kCommonTail = "---\n"
                                "Settings…\n"
                                "Check for Updates…\n"
                                "---\n"
                                "Quit\n";
// The idle menu's end while the session is not saved as a package.
const std::string kUnsavedTail = "---\n"
                                 "Save Recording (disabled)\n"
                                 "Save Recording As…\n"
                                 "Close Recording\n"
                                 "---\n"
                                 "Export Final Video… (disabled)\n" +
                                 kCommonTail;

TEST_F(MenuModelTest, IdleWithoutSession) {
  auto entries = menu(AppState::idle);
  EXPECT_EQ(describeMenu(entries), std::string("New Recording\n"
                                               "Open Recording…\n"
                                               "Next Scene\n") +
                                       kUnsavedTail);
  expectItems(entries,
              {{"New Recording", MenuCommand::newSession, ShortcutAction::newSession},
               {"Open Recording…", MenuCommand::openSession, ShortcutAction::openSession},
               {"Next Scene", MenuCommand::nextScene, ShortcutAction::nextScene},
               {"Save Recording", MenuCommand::saveSession, ShortcutAction::save},
               {"Save Recording As…", MenuCommand::saveSessionAs, ShortcutAction::saveAs},
               {"Close Recording", MenuCommand::closeRecording, std::nullopt},
               {"Export Final Video…", MenuCommand::exportFinalVideo, ShortcutAction::export_},
               {"Settings…", MenuCommand::openSettings, std::nullopt},
               {"Check for Updates…", MenuCommand::checkForUpdates, std::nullopt},
               {"Quit", MenuCommand::quit, std::nullopt}});
}

TEST_F(MenuModelTest, IdleWithAnUnsavedSessionOfOneScene) {
  Session session = sessionWithScenes(1);
  auto entries = menu(AppState::idle, &session, 1);
  EXPECT_EQ(describeMenu(entries), std::string("Recording: 1 scene\n"
                                               "Review Window\n"
                                               "---\n"
                                               "Start S1T1 (Scene 1 Take #1)\n"
                                               "Open Recording…\n"
                                               "Next Scene\n") +
                                       kUnsavedTail);
  EXPECT_EQ(entries[0].kind, MenuEntry::Kind::caption);
  EXPECT_EQ(entries[1].command, MenuCommand::openReviewWindow);
  expectItems(entries,
              {{"Start S1T1 (Scene 1 Take #1)", MenuCommand::startTake, ShortcutAction::endTake}});
}

TEST_F(MenuModelTest, IdleWithAPackageEnablesSaveAndExport) {
  Session session = sessionWithScenes(3);
  session.bundleURL = "/home/me/Talk.vidorel";
  session.currentSceneIndex = 1;
  auto entries = menu(AppState::idle, &session, 3);
  EXPECT_EQ(entries[0].title, "Talk (3 scenes)");
  EXPECT_EQ(entries[3].title, "Start S2T3 (Scene 2 Take #3)");
  EXPECT_TRUE(find(entries, "Save Recording").enabled);
  EXPECT_TRUE(find(entries, "Export Final Video…").enabled);
  // A package path written with a trailing slash names the same package.
  session.bundleURL = "/home/me/Talk.vidorel/";
  EXPECT_EQ(sessionCaption(session), "Talk (3 scenes)");
  session.scenes.resize(1);
  EXPECT_EQ(sessionCaption(session), "Talk (1 scene)");
}

TEST_F(MenuModelTest, RecoveredSessionsAreListedInOrderWithDiscard) {
  recovered.push_back(sessionWithScenes(1));
  recovered.push_back(sessionWithScenes(2));
  auto entries = menu(AppState::idle);
  EXPECT_EQ(describeMenu(entries), std::string("New Recording\n"
                                               "Open Recording…\n"
                                               "Next Scene\n"
                                               "---\n"
                                               "Resume recording (1 scene)\n"
                                               "Resume recording (2 scenes)\n"
                                               "Discard all recovered recordings\n") +
                                       kUnsavedTail);
  EXPECT_EQ(entries[4].command, MenuCommand::openRecoveredSession);
  EXPECT_EQ(entries[4].recoveredIndex, 0);
  EXPECT_EQ(entries[5].recoveredIndex, 1);
  EXPECT_EQ(entries[5].keyEquivalentOf, std::nullopt);
  EXPECT_EQ(entries[6].command, MenuCommand::discardRecoveredSessions);
  // Recovered sessions are offered only in idle.
  Session session = sessionWithScenes(1);
  EXPECT_EQ(describeMenu(menu(AppState::paused, &session)).find("Resume recording"),
            std::string::npos);
}

TEST_F(MenuModelTest, Recording) {
  Session session = sessionWithScenes(2);
  session.currentSceneIndex = 1;
  auto entries = menu(AppState::recording, &session, 4);
  EXPECT_EQ(describeMenu(entries), std::string("Recording: 2 scenes\n"
                                               "Review Window\n"
                                               "---\n"
                                               "● Recording — Scene 2, Take 4\n"
                                               "---\n"
                                               "Pause\n"
                                               "End Take\n"
                                               "Next Scene\n"
                                               "---\n"
                                               "Close Recording\n") +
                                       kCommonTail);
  EXPECT_EQ(entries[3].kind, MenuEntry::Kind::caption);
  expectItems(entries, {{"Pause", MenuCommand::pauseRecording, ShortcutAction::startPause},
                        {"End Take", MenuCommand::endTake, ShortcutAction::endTake},
                        {"Next Scene", MenuCommand::endTakeAndNextScene, ShortcutAction::nextScene},
                        {"Close Recording", MenuCommand::closeRecording, std::nullopt}});
}

TEST_F(MenuModelTest, Paused) {
  Session session = sessionWithScenes(1);
  auto entries = menu(AppState::paused, &session, 1);
  EXPECT_EQ(describeMenu(entries), std::string("Recording: 1 scene\n"
                                               "Review Window\n"
                                               "---\n"
                                               "Scene 1 — paused\n"
                                               "---\n"
                                               "Resume\n"
                                               "End Take\n"
                                               "---\n"
                                               "Close Recording\n") +
                                       kCommonTail);
  expectItems(entries, {{"Resume", MenuCommand::resumeRecording, ShortcutAction::startPause},
                        {"End Take", MenuCommand::endTake, ShortcutAction::endTake}});
}

TEST_F(MenuModelTest, Reviewing) {
  Session session = sessionWithScenes(3);
  session.currentSceneIndex = 2;
  auto entries = menu(AppState::reviewing, &session, 2);
  EXPECT_EQ(describeMenu(entries), std::string("Recording: 3 scenes\n"
                                               "Review Window\n"
                                               "---\n"
                                               "Reviewing — Scene 3\n"
                                               "---\n"
                                               "Close Recording\n") +
                                       kCommonTail);
}

TEST_F(MenuModelTest, KeyEquivalentsFollowTheCurrentBindings) {
  Session session = sessionWithScenes(1);
  session.bundleURL = "/tmp/Talk.vidorel";
  // Ctrl+Shift+K for save.
  bindings[ShortcutAction::save] =
      binding(40, 0x300, "k", commandEventModifier | shiftEventModifier);
  auto entries = menu(AppState::idle, &session);
  EXPECT_EQ(find(entries, "Save Recording").keyEquivalent->keyEquivalent, "k");
  // An action without an entry shows no key equivalent.
  bindings.erase(ShortcutAction::openSession);
  entries = menu(AppState::idle, &session);
  EXPECT_EQ(find(entries, "Open Recording…").keyEquivalentOf, ShortcutAction::openSession);
  EXPECT_FALSE(find(entries, "Open Recording…").keyEquivalent.has_value());
}

TEST_F(MenuModelTest, CaptionsAndSeparatorsAreNotCommands) {
  Session session = sessionWithScenes(1);
  for (AppState state :
       {AppState::idle, AppState::recording, AppState::paused, AppState::reviewing}) {
    for (const MenuEntry& entry : menu(state, &session)) {
      if (entry.kind == MenuEntry::Kind::item) {
        EXPECT_NE(entry.command, MenuCommand::none) << entry.title;
        continue;
      }
      EXPECT_EQ(entry.command, MenuCommand::none);
      EXPECT_FALSE(entry.enabled);
    }
  }
}

TEST(MenuBarIcon, TemplateWhenIdleTintedRedYellowBlueOtherwise) {
  IconTint idle = menuBarIconTint(AppState::idle);
  EXPECT_TRUE(idle.isTemplate);
  EXPECT_FALSE(idle.tinted);
  IconTint recording = menuBarIconTint(AppState::recording);
  EXPECT_FALSE(recording.isTemplate);
  EXPECT_TRUE(recording.tinted);
  EXPECT_GT(recording.red, 200);
  EXPECT_LT(recording.green, 100);
  IconTint paused = menuBarIconTint(AppState::paused);
  EXPECT_GT(paused.red, 200);
  EXPECT_GT(paused.green, 150);
  EXPECT_LT(paused.blue, 50);
  IconTint reviewing = menuBarIconTint(AppState::reviewing);
  EXPECT_GT(reviewing.blue, 200);
  EXPECT_LT(reviewing.red, 50);
  for (AppState state : {AppState::recording, AppState::paused, AppState::reviewing})
    EXPECT_DOUBLE_EQ(menuBarIconTint(state).alpha, 0.6);
}

} // namespace
} // namespace vidorel
