// Global hot keys through the GlobalShortcuts portal, against the fake
// portal on the private session bus of tests/wayland/with-pipewire.

#include "shortcuts/portal_global_shortcuts.h"
#include "shortcuts/shortcut_action.h"
#include "shortcuts/shortcut_binding.h"

#include <QCoreApplication>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vidorel {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::vector<nlohmann::json> loggedCalls(const fs::path& log, const std::string& method) {
  std::vector<nlohmann::json> found;
  std::ifstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    nlohmann::json call = nlohmann::json::parse(line, nullptr, false);
    if (!call.is_discarded() && call["method"] == method)
      found.push_back(call["options"]);
  }
  return found;
}

// Runs the Qt event loop until `done` holds or the time is up.
bool processEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  while (!done() && Clock::now() < deadline) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

void pressOnTheDesktop(const std::string& id) {
  std::string command = "dbus-send --session --type=method_call "
                        "--dest=org.freedesktop.portal.Desktop /org/freedesktop/portal/desktop "
                        "org.vidorel.Test.Activate string:" +
                        id;
  ASSERT_EQ(std::system(command.c_str()), 0);
}

ShortcutBinding binding(std::string key, std::uint64_t modifiers) {
  ShortcutBinding result;
  result.keyEquivalent = std::move(key);
  result.eventModifiers = modifiers;
  return result;
}

TEST(PortalTriggerText, UsesTheShortcutsFormatsModifiersAndKeysymNames) {
  EXPECT_EQ(portalTriggerText(binding(" ", shiftEventModifier | commandEventModifier)),
            "CTRL+SHIFT+space");
  EXPECT_EQ(portalTriggerText(binding("\r", shiftEventModifier | commandEventModifier)),
            "CTRL+SHIFT+Return");
  EXPECT_EQ(portalTriggerText(binding("N", commandEventModifier)), "CTRL+n");
  EXPECT_EQ(portalTriggerText(binding("k", controlEventModifier | optionEventModifier)),
            "ALT+LOGO+k");
  EXPECT_EQ(portalTriggerText(binding("7", commandEventModifier)), "CTRL+7");
  EXPECT_EQ(portalTriggerText(binding("", commandEventModifier)), "");
  EXPECT_EQ(portalTriggerText(defaultBinding(ShortcutAction::endTake)), "CTRL+SHIFT+Return");
}

TEST(PortalGlobalShortcuts, BindsThePreferredTriggersAndActivatedRunsTheHandler) {
  ASSERT_NE(std::getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr);
  char pattern[] = "/tmp/vidorel-keys.XXXXXX";
  fs::path folder = mkdtemp(pattern);
  fs::path log = folder / "portal.jsonl";
  pid_t portal = fork();
  if (portal == 0) {
    execl("/usr/bin/python3", "/usr/bin/python3", VIDOREL_FAKE_PORTAL, "--node", "1", "--log",
          log.c_str(), nullptr);
    _exit(127);
  }
  auto ready = [&] { return !loggedCalls(log, "ready").empty(); };
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!ready() && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(ready());

  {
    int argc = 1;
    char name[] = "portal_shortcuts_tests";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    Logger logger;
    logger.addSink(std::make_shared<StderrLogSink>());
    PortalGlobalShortcuts keys(logger);
    ASSERT_TRUE(keys.available());
    int endTakes = 0;
    int pauses = 0;
    keys.setHandler(ShortcutAction::endTake, [&] { ++endTakes; });
    keys.setHandler(ShortcutAction::startPause, [&] { ++pauses; });
    ShortcutBindings bindings;
    bindings.emplace(ShortcutAction::endTake, defaultBinding(ShortcutAction::endTake));
    bindings.emplace(ShortcutAction::startPause, defaultBinding(ShortcutAction::startPause));
    keys.registerBindings(bindings);

    std::vector<nlohmann::json> binds = loggedCalls(log, "BindShortcuts");
    ASSERT_EQ(binds.size(), 1u);
    const nlohmann::json& shortcuts = binds[0]["shortcuts"];
    ASSERT_EQ(shortcuts.size(), 2u);
    std::map<std::string, nlohmann::json> byId;
    for (const nlohmann::json& shortcut : shortcuts)
      byId[shortcut[0]] = shortcut[1];
    EXPECT_EQ(byId["endTake"]["preferred_trigger"], "CTRL+SHIFT+Return");
    EXPECT_EQ(byId["endTake"]["description"], "Start / End Take / Approve");
    EXPECT_EQ(byId["startPause"]["preferred_trigger"], "CTRL+SHIFT+space");
    EXPECT_EQ(loggedCalls(log, "GlobalShortcuts.CreateSession").size(), 1u);
    EXPECT_EQ(keys.assignedTrigger(ShortcutAction::endTake), "assigned CTRL+SHIFT+Return");
    EXPECT_EQ(keys.assignedTrigger(ShortcutAction::retake), "");

    pressOnTheDesktop("endTake");
    EXPECT_TRUE(processEventsUntil([&] { return endTakes == 1; }, std::chrono::seconds(5)));
    EXPECT_EQ(pauses, 0);
    pressOnTheDesktop("startPause");
    EXPECT_TRUE(processEventsUntil([&] { return pauses == 1; }, std::chrono::seconds(5)));

    // Unbound actions do nothing, whatever the desktop still sends.
    keys.unregisterAll();
    pressOnTheDesktop("endTake");
    processEventsUntil([] { return false; }, std::chrono::milliseconds(400));
    EXPECT_EQ(endTakes, 1);
    // Binding again reuses the session.
    keys.registerBindings(bindings);
    EXPECT_EQ(loggedCalls(log, "GlobalShortcuts.CreateSession").size(), 1u);
    EXPECT_EQ(loggedCalls(log, "BindShortcuts").size(), 2u);
    pressOnTheDesktop("endTake");
    EXPECT_TRUE(processEventsUntil([&] { return endTakes == 2; }, std::chrono::seconds(5)));
  }
  kill(portal, SIGTERM);
  waitpid(portal, nullptr, 0);
  fs::remove_all(folder);
}

} // namespace
} // namespace vidorel
