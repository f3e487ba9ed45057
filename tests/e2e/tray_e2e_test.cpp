// The app on a desktop whose tray speaks StatusNotifierItem (KDE, GNOME's
// AppIndicator, Wayland panels), on a private bus with a stand-in watcher.

#include "support/running_app.h"

#include <gtest/gtest.h>

namespace vidorel::e2e {
namespace {

struct Item {
  std::string service;
  std::string path;
};

// The item the watcher logged ("item SERVICE PATH").
std::optional<Item> waitForItem(const fs::path& log) {
  std::optional<Item> found;
  eventually(10, [&] {
    std::string text = testing::readFile(log);
    std::size_t at = text.find("\nitem ");
    Item item;
    if (at != std::string::npos &&
        std::istringstream(text.substr(at + 6)) >> item.service >> item.path)
      found = item;
    return found.has_value();
  });
  return found;
}

std::string call(const Item& item, const std::string& path, const std::string& method,
                 const std::string& arguments) {
  return testing::commandOutput("gdbus call --session --dest '" + item.service +
                                "' --object-path '" + path + "' --method " + method + " " +
                                arguments + " 2>&1");
}

std::string property(const Item& item, const std::string& name) {
  return call(item, item.path, "org.freedesktop.DBus.Properties.Get",
              "org.kde.StatusNotifierItem " + name);
}

// The exported menu's number for the entry labelled `label...`; -1 if none.
int entryId(const std::string& layout, const std::string& label) {
  std::size_t open = layout.rfind("<(", layout.find("'label': <'" + label));
  return open == std::string::npos ? -1 : std::atoi(layout.c_str() + open + 2);
}

TEST(StatusNotifierTray, TheTrayIconAndItsMenuDriveTheApp) {
  ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under scripts/desktop-env";
  ASSERT_NE(std::getenv("DBUS_SESSION_BUS_ADDRESS"), nullptr) << "run under dbus-run-session";
  fs::path root = vidorel::testing::makeTemporaryFolder("tray");
  fs::path hostLog = root / "host.log";
  pid_t host = fork();
  if (host == 0) {
    execl("/usr/bin/python3", "/usr/bin/python3", VIDOREL_FAKE_TRAY_HOST, hostLog.c_str(), nullptr);
    _exit(127);
  }
  eventually(10, [&] { return testing::readFile(hostLog).starts_with("ready"); });

  {
    RunningApp app(root / "app");
    ASSERT_TRUE(app.waitUntilIdle());
    std::optional<Item> item = waitForItem(hostLog);
    ASSERT_TRUE(item) << "the app registered no item with the desktop's tray";

    // The tray replaces the control window left for desktops without one.
    EXPECT_EQ(testing::commandOutput("xdotool search --onlyvisible --name '^Vidorel$'"), "");
    std::string idleIcon = property(*item, "IconPixmap");
    EXPECT_NE(idleIcon.find("(48, 48, [byte"), std::string::npos) << idleIcon.substr(0, 200);

    // The desktop opens the menu as a user's click would.
    std::string menuPath = property(*item, "Menu");
    std::size_t quote = menuPath.find('\'');
    ASSERT_NE(quote, std::string::npos) << menuPath;
    menuPath = menuPath.substr(quote + 1, menuPath.find('\'', quote + 1) - quote - 1);
    call(*item, menuPath, "com.canonical.dbusmenu.AboutToShow", "0");
    std::string layout = call(*item, menuPath, "com.canonical.dbusmenu.GetLayout",
                              "0 '@i -1' '[\"label\", \"shortcut\"]'");
    int newRecording = entryId(layout, "New Recording");
    ASSERT_GT(newRecording, 0) << layout;
    // Keys go as keys, which the desktop's menu writes out its own way.
    EXPECT_NE(layout.find("[['Control', 'Shift', 'O']]"), std::string::npos) << layout;

    call(*item, menuPath, "com.canonical.dbusmenu.Event",
         std::to_string(newRecording) + " clicked '<@i 0>' 0");
    ASSERT_TRUE(app.waitFor("state?", "recording", 15)) << app.ask("state?");
    // The icon's tint shows the take: the desktop gets another picture.
    EXPECT_TRUE(eventually(3, [&] { return property(*item, "IconPixmap") != idleIcon; }))
        << "the tray icon looks the same while recording";
  }
  if (host > 0 && kill(host, SIGTERM) == 0)
    waitpid(host, nullptr, 0);
  fs::remove_all(root);
}

} // namespace
} // namespace vidorel::e2e
