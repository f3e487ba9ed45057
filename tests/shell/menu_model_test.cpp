#include "shell/menu_model.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace vidorel {
namespace {

using Bindings = std::map<ShortcutAction, ShortcutBinding>;

Session sessionWithScenes(int count, int current = 0) {
  Session session("/tmp/scratch/ABC");
  session.scenes.resize(static_cast<size_t>(count));
  session.currentSceneIndex = current;
  return session;
}

const std::string kTail = "---\nSettings…\nCheck for Updates…\n---\nQuit\n";

// Each state's menu as the tray shows it. Two recovered sessions wait in
// every case: only idle offers them.
TEST(MenuModel, EachStateShowsItsItems) {
  Session packaged = sessionWithScenes(3, 1);
  // A package path written with a trailing slash names the same package.
  packaged.bundleURL = "/home/me/Talk.vidorel/";
  Session two = sessionWithScenes(2, 1);
  Session one = sessionWithScenes(1);
  Session three = sessionWithScenes(3, 2);
  std::vector<Session> recovered{sessionWithScenes(1), sessionWithScenes(2)};
  struct Case {
    AppState state;
    const Session* session;
    int take;
    std::string menu;
  };
  const Case cases[] = {
      {AppState::idle, nullptr, 1,
       "New Recording\nOpen Recording…\nNext Scene\n---\nResume recording (1 scene)\n"
       "Resume recording (2 scenes)\nDiscard all recovered recordings\n---\n"
       "Save Recording (disabled)\nSave Recording As…\nClose Recording\n---\n"
       "Export Final Video… (disabled)\n"},
      {AppState::idle, &packaged, 3,
       "Talk (3 scenes)\nReview Window\n---\nStart S2T3 (Scene 2 Take #3)\nOpen Recording…\n"
       "Next Scene\n---\nResume recording (1 scene)\nResume recording (2 scenes)\n"
       "Discard all recovered recordings\n---\nSave Recording\nSave Recording As…\n"
       "Close Recording\n---\nExport Final Video…\n"},
      {AppState::recording, &two, 4,
       "Recording: 2 scenes\nReview Window\n---\n● Recording — Scene 2, Take 4\n---\nPause\n"
       "End Take\nNext Scene\n---\nClose Recording\n"},
      {AppState::paused, &one, 1,
       "Recording: 1 scene\nReview Window\n---\nScene 1 — paused\n---\nResume\nEnd Take\n---\n"
       "Close Recording\n"},
      {AppState::reviewing, &three, 2,
       "Recording: 3 scenes\nReview Window\n---\nReviewing — Scene 3\n---\nClose Recording\n"},
  };
  for (const Case& c : cases) {
    MenuInput input{c.state, c.session, c.take, &recovered, nullptr};
    std::vector<MenuEntry> entries = buildMenu(input);
    EXPECT_EQ(describeMenu(entries), c.menu + kTail);
    int recoveredSeen = 0;
    for (const MenuEntry& entry : entries) {
      bool recoveredItem = entry.command == MenuCommand::openRecoveredSession;
      EXPECT_EQ(entry.recoveredIndex, recoveredItem ? recoveredSeen++ : -1) << entry.title;
      // Captions and separators are never commands.
      EXPECT_EQ(entry.kind == MenuEntry::Kind::item, entry.command != MenuCommand::none)
          << entry.title;
      EXPECT_TRUE(entry.kind == MenuEntry::Kind::item || !entry.enabled) << entry.title;
    }
  }
}

// The items that read alike across states run different commands; each
// shows its action's current binding, or none when the action has none.
TEST(MenuModel, ItemsRunTheirCommandsAndShowTheCurrentBindings) {
  Bindings bindings{{ShortcutAction::nextScene, ShortcutBinding{40, 0x300, "k", 18}},
                    {ShortcutAction::endTake, defaultBinding(ShortcutAction::endTake)}};
  Session session = sessionWithScenes(1);
  using A = ShortcutAction;
  using C = MenuCommand;
  struct Item {
    AppState state;
    const Session* session;
    const char* title;
    MenuCommand command;
    std::optional<ShortcutAction> keyOf;
  };
  for (Item item :
       {Item{AppState::idle, &session, "Start S1T1 (Scene 1 Take #1)", C::startTake, A::endTake},
        Item{AppState::idle, nullptr, "Next Scene", C::nextScene, A::nextScene},
        Item{AppState::recording, &session, "Next Scene", C::endTakeAndNextScene, A::nextScene},
        Item{AppState::paused, &session, "Resume", C::resumeRecording, A::startPause}}) {
    MenuInput input{item.state, item.session, 1, nullptr, &bindings};
    std::vector<MenuEntry> entries = buildMenu(input);
    auto found = std::find_if(entries.begin(), entries.end(),
                              [&](const MenuEntry& entry) { return entry.title == item.title; });
    ASSERT_NE(found, entries.end()) << item.title;
    EXPECT_EQ(found->command, item.command) << item.title;
    EXPECT_EQ(found->keyEquivalentOf, item.keyOf) << item.title;
    std::optional<ShortcutBinding> shown;
    if (item.keyOf && bindings.contains(*item.keyOf))
      shown = bindings.at(*item.keyOf);
    EXPECT_EQ(found->keyEquivalent, shown) << item.title;
  }
}

} // namespace
} // namespace vidorel
