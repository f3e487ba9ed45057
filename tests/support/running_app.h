#pragma once

// The app (or another `vidorel` command) as a test's child with private XDG
// folders and the control socket, driven by xdotool. Define VIDOREL_BINARY.

#include "base/format.h"
#include "fakes/shell_command.h"
#include "model/manifest.h"
#include "support/temporary_folder.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#ifndef VIDOREL_BINARY
#error "define VIDOREL_BINARY as the path of the vidorel executable"
#endif

namespace vidorel::e2e {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testing::CommandResult;

// Polls `done` until it holds; false after the timeout.
inline bool eventually(double seconds, const std::function<bool()>& done, int stepMs = 50) {
  auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (Clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
  }
  return true;
}

inline void sleepSeconds(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

struct AppOptions {
  std::string logName = "app.log"; // under the root, the child's standard error
  // RLIMIT_FSIZE: writes past it fail with EFBIG (SIGXFSZ ignored), as on a full disk.
  std::optional<rlim_t> fileSizeLimit{};
  std::vector<std::pair<std::string, std::string>> environment{};
  // Without test hooks: only `vidorel ctl`, and ended by SIGTERM as a logout.
  bool testControl = true;
  std::vector<std::string> arguments{}; // none: the app
};

class RunningApp {
public:
  explicit RunningApp(fs::path root, AppOptions options = {})
      : root_(std::move(root)), options_(std::move(options)) {
    for (const char* folder : {"data", "config", "runtime"})
      fs::create_directories(root_ / folder);
    fs::permissions(root_ / "runtime", fs::perms::owner_all);
    pid_ = fork();
    if (pid_ != 0)
      return;
    setenv("VIDOREL_TEST_CONTROL", "1", 1);
    if (!options_.testControl)
      unsetenv("VIDOREL_TEST_CONTROL");
    for (const auto& [name, value] : environment())
      setenv(name.c_str(), value.c_str(), 1);
    if (!freopen(logPath().c_str(), "w", stderr))
      _exit(126);
    if (options_.fileSizeLimit)
      testing::limitFileSize(*options_.fileSizeLimit);
    std::vector<char*> argv{const_cast<char*>(VIDOREL_BINARY)};
    for (std::string& argument : options_.arguments)
      argv.push_back(argument.data());
    argv.push_back(nullptr);
    execv(VIDOREL_BINARY, argv.data());
    _exit(127);
  }

  ~RunningApp() {
    if (pid_ <= 0)
      return;
    if (options_.testControl && options_.arguments.empty())
      send("quit");
    else
      kill(pid_, SIGTERM);
    if (!waitForExit(5))
      killNow();
  }

  RunningApp(const RunningApp&) = delete;
  RunningApp& operator=(const RunningApp&) = delete;

  // SIGKILL, as a crash or a power cut; returns once reaped.
  void killNow() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }

  // The exit status (128 + signal when killed); nothing after the timeout.
  std::optional<int> waitForExit(double seconds) {
    std::optional<int> result;
    eventually(seconds, [&] {
      int status = 0;
      if (pid_ <= 0 || waitpid(pid_, &status, WNOHANG) != pid_)
        return false;
      pid_ = -1;
      result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return true;
    });
    return result;
  }

  // The app's one-line answer; nothing when it does not answer.
  std::optional<std::string> send(const std::string& line) const {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = (root_ / "runtime" / "vidorel" / "control").string();
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    std::string reply, request = line + "\n";
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
      char buffer[4096];
      ssize_t got;
      while (reply.find('\n') == std::string::npos && (got = read(fd, buffer, sizeof buffer)) > 0)
        reply.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    if (reply.find('\n') == std::string::npos)
      return std::nullopt;
    return reply.substr(0, reply.find('\n'));
  }

  std::string ask(const std::string& line) const { return send(line).value_or("<no answer>"); }

  bool waitFor(const std::string& line, const std::string& expected, double seconds) const {
    return eventually(seconds, [&] { return send(line) == expected; });
  }

  bool waitUntilIdle() { return waitFor("state?", "idle", 20); }

  // `vidorel ARGUMENTS` run beside the app with its folders and environment.
  CommandResult command(const std::string& arguments) const {
    std::string env = "env";
    for (const auto& [name, value] : environment())
      env += " " + name + "='" + value + "'";
    return testing::runShellCommand(env + " " + VIDOREL_BINARY + " " + arguments);
  }

  // Polls `vidorel ctl status` until it prints `expected`.
  bool waitForStatus(const std::string& expected, double seconds) const {
    return eventually(
        seconds, [&] { return command("ctl status").output == expected; }, 100);
  }

  // When the log first held `count` lines with `text` (polled every 10 ms).
  std::optional<Clock::time_point> waitForLog(const std::string& text, int count, double seconds) {
    bool seen = eventually(
        seconds,
        [&] {
          std::string contents = testing::readFile(logPath());
          int found = 0;
          for (size_t at = contents.find(text); at != std::string::npos;
               at = contents.find(text, at + 1))
            ++found;
          return found >= count;
        },
        10);
    return seen ? std::optional(Clock::now()) : std::nullopt;
  }

  fs::path logPath() const { return root_ / options_.logName; }
  std::string log() const { return testing::readFile(logPath()); }

private:
  std::vector<std::pair<std::string, std::string>> environment() const {
    std::vector<std::pair<std::string, std::string>> all = {
        {"XDG_DATA_HOME", (root_ / "data").string()},
        {"XDG_CONFIG_HOME", (root_ / "config").string()},
        {"XDG_RUNTIME_DIR", (root_ / "runtime").string()}};
    all.insert(all.end(), options_.environment.begin(), options_.environment.end());
    return all;
  }

  fs::path root_;
  AppOptions options_;
  pid_t pid_ = -1;
};

inline void xdotool(const std::string& arguments) {
  std::system(("xdotool " + arguments).c_str());
}

inline void key(const std::string& combination) {
  xdotool("key --clearmodifiers " + combination);
}

struct ScreenRect {
  int x = 0, y = 0, width = 0, height = 0;
  int centreX() const { return x + width / 2; }
  int centreY() const { return y + height / 2; }
};

// A part of the app's windows as the app reports it, once it is on screen.
inline std::optional<ScreenRect> waitForPart(const RunningApp& app, const std::string& what,
                                             double seconds = 3) {
  std::optional<ScreenRect> found;
  eventually(seconds, [&] {
    std::istringstream answer(app.ask("where? " + what));
    ScreenRect rect;
    if (answer >> rect.x >> rect.y >> rect.width >> rect.height)
      found = rect;
    return found.has_value();
  });
  return found;
}

inline bool click(const RunningApp& app, const std::string& what, int count = 1) {
  std::optional<ScreenRect> place = waitForPart(app, what, 5);
  if (place)
    xdotool(formatString("mousemove %d %d sleep 0.15 click --repeat %d --delay 80 1",
                         place->centreX(), place->centreY(), count));
  return place.has_value();
}

// A tray menu entry; asked twice, as one shown right at start can close again.
inline bool chooseFromTheMenu(const RunningApp& app, const std::string& entry) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (app.ask("show-menu") == "ok" && click(app, "menu " + entry))
      return true;
    app.ask("hide-menu");
  }
  return false;
}

// The file typed into the save panel that just opened.
inline void typeIntoThePanel(const fs::path& file) {
  sleepSeconds(1.2);
  key("ctrl+a");
  xdotool("type --delay 20 '" + file.string() + "'");
  key("Return");
}

// Pressed, moved in steps (a drag starts only past a threshold), released.
inline void dragWithThePointer(int fromX, int fromY, int toX, int toY) {
  xdotool(formatString("mousemove %d %d sleep 0.2 mousedown 1 sleep 0.2 mousemove %d %d sleep 0.2 "
                       "mousemove %d %d sleep 0.2 mousemove %d %d sleep 0.3 mouseup 1",
                       fromX, fromY, fromX + (toX - fromX) / 4, fromY + (toY - fromY) / 4 + 3, toX,
                       toY - 2, toX, toY));
  sleepSeconds(0.3);
}

inline std::optional<SessionManifest> readManifest(const fs::path& session) {
  auto decoded = decodeManifest(testing::readFile(session / "manifest.json"));
  return decoded ? std::optional(*decoded) : std::nullopt;
}

// Polls the autosaved session until `holds` is true of it.
inline bool waitForManifest(const fs::path& session,
                            const std::function<bool(const SessionManifest&)>& holds,
                            double seconds = 5) {
  return eventually(
      seconds,
      [&] {
        std::optional<SessionManifest> manifest = readManifest(session);
        return manifest && holds(*manifest);
      },
      100);
}

} // namespace vidorel::e2e
