#include "shell/menu_model.h"

#include "base/format.h"

namespace vidorel {

namespace {

std::string sceneCount(size_t count) {
  return formatString("%zu %s", count, count == 1 ? "scene" : "scenes");
}

class MenuBuilder {
public:
  explicit MenuBuilder(const MenuInput& input) : input_(input) {}

  void caption(std::string title) {
    MenuEntry entry;
    entry.kind = MenuEntry::Kind::caption;
    entry.title = std::move(title);
    entry.enabled = false;
    entries_.push_back(std::move(entry));
  }

  void separator() {
    MenuEntry entry;
    entry.kind = MenuEntry::Kind::separator;
    entry.enabled = false;
    entries_.push_back(std::move(entry));
  }

  MenuEntry& item(std::string title, MenuCommand command,
                  std::optional<ShortcutAction> keyOf = std::nullopt, bool enabled = true) {
    MenuEntry entry;
    entry.title = std::move(title);
    entry.command = command;
    entry.enabled = enabled;
    entry.keyEquivalentOf = keyOf;
    if (keyOf && input_.shortcutBindings) {
      auto found = input_.shortcutBindings->find(*keyOf);
      if (found != input_.shortcutBindings->end())
        entry.keyEquivalent = found->second;
    }
    entries_.push_back(std::move(entry));
    return entries_.back();
  }

  std::vector<MenuEntry> take() { return std::move(entries_); }

private:
  const MenuInput& input_;
  std::vector<MenuEntry> entries_;
};

void buildIdleSection(MenuBuilder& menu, const MenuInput& input, int scene, int take) {
  const Session* session = input.currentSession;
  if (!session)
    menu.item("New Recording", MenuCommand::newSession, ShortcutAction::newSession);
  else
    menu.item(formatString("Start S%dT%d (Scene %d Take #%d)", scene, take, scene, take),
              MenuCommand::startTake, ShortcutAction::endTake);
  menu.item("Open Recording…", MenuCommand::openSession, ShortcutAction::openSession);
  menu.item("Next Scene", MenuCommand::nextScene, ShortcutAction::nextScene);

  if (input.recoverableSessions && !input.recoverableSessions->empty()) {
    menu.separator();
    int index = 0;
    for (const Session& recovered : *input.recoverableSessions) {
      MenuEntry& entry =
          menu.item(recoveredSessionTitle(recovered), MenuCommand::openRecoveredSession);
      entry.recoveredIndex = index++;
    }
    menu.item("Discard all recovered recordings", MenuCommand::discardRecoveredSessions);
  }

  bool packaged = session && session->bundleURL.has_value();
  menu.separator();
  menu.item("Save Recording", MenuCommand::saveSession, ShortcutAction::save, packaged);
  menu.item("Save Recording As…", MenuCommand::saveSessionAs, ShortcutAction::saveAs);
  menu.item("Close Recording", MenuCommand::closeRecording);
  menu.separator();
  menu.item("Export Final Video…", MenuCommand::exportFinalVideo, ShortcutAction::export_,
            packaged);
}

} // namespace

std::string sessionCaption(const Session& session) {
  if (!session.bundleURL)
    return "Recording: " + sceneCount(session.scenes.size());
  std::string name = session.bundleURL->filename().string();
  if (name.empty())
    name = session.bundleURL->parent_path().filename().string();
  std::string stem = std::filesystem::path(name).stem().string();
  return stem + " (" + sceneCount(session.scenes.size()) + ")";
}

std::string recoveredSessionTitle(const Session& session) {
  return "Resume recording (" + sceneCount(session.scenes.size()) + ")";
}

std::vector<MenuEntry> buildMenu(const MenuInput& input) {
  MenuBuilder menu(input);
  const Session* session = input.currentSession;
  int scene = session ? session->currentSceneIndex + 1 : 1;
  int take = input.currentTakeNumber;

  if (session) {
    menu.caption(sessionCaption(*session));
    menu.item("Review Window", MenuCommand::openReviewWindow);
    menu.separator();
  }

  switch (input.state) {
  case AppState::idle:
    buildIdleSection(menu, input, scene, take);
    break;
  case AppState::recording:
    menu.caption(formatString("● Recording — Scene %d, Take %d", scene, take));
    menu.separator();
    menu.item("Pause", MenuCommand::pauseRecording, ShortcutAction::startPause);
    menu.item("End Take", MenuCommand::endTake, ShortcutAction::endTake);
    menu.item("Next Scene", MenuCommand::endTakeAndNextScene, ShortcutAction::nextScene);
    menu.separator();
    menu.item("Close Recording", MenuCommand::closeRecording);
    break;
  case AppState::paused:
    menu.caption(formatString("Scene %d — paused", scene));
    menu.separator();
    menu.item("Resume", MenuCommand::resumeRecording, ShortcutAction::startPause);
    menu.item("End Take", MenuCommand::endTake, ShortcutAction::endTake);
    menu.separator();
    menu.item("Close Recording", MenuCommand::closeRecording);
    break;
  case AppState::reviewing:
    menu.caption(formatString("Reviewing — Scene %d", scene));
    menu.separator();
    menu.item("Close Recording", MenuCommand::closeRecording);
    break;
  }

  menu.separator();
  menu.item("Settings…", MenuCommand::openSettings);
  menu.item("Check for Updates…", MenuCommand::checkForUpdates);
  menu.separator();
  menu.item("Quit", MenuCommand::quit);
  return menu.take();
}

std::string describeMenu(const std::vector<MenuEntry>& entries) {
  std::string text;
  for (const MenuEntry& entry : entries) {
    if (entry.kind == MenuEntry::Kind::separator)
      text += "---";
    else
      text += entry.title;
    if (entry.kind == MenuEntry::Kind::item && !entry.enabled)
      text += " (disabled)";
    text += '\n';
  }
  return text;
}

} // namespace vidorel

namespace vidorel {

IconTint menuBarIconTint(AppState state) {
  // Indexed by the state's position: gray, red, yellow, blue.
  static const unsigned char kColours[4][3] = {
      {142, 142, 147}, {255, 59, 48}, {255, 204, 0}, {0, 122, 255}};
  int index = static_cast<int>(state);
  IconTint tint;
  tint.red = kColours[index][0];
  tint.green = kColours[index][1];
  tint.blue = kColours[index][2];
  tint.tinted = state != AppState::idle;
  tint.isTemplate = state == AppState::idle;
  return tint;
}

} // namespace vidorel
