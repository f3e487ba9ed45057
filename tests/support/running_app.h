#pragma once

// The whole app as a child process of a test: started with private XDG
// folders and the test control socket, driven by real key presses and
// pointer moves (xdotool) and by the socket's commands, and read back
// through the socket and the saved manifest. Shared by the end-to-end walk
// and the crash runs. The including test defines VIDOREL_BINARY.

#include "base/format.h"
#include "fakes/shell_command.h"
#include "model/manifest.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

// The standard output of a shell command, without its trailing newlines.
inline std::string runCommand(const std::string& command) {
  std::string output = testing::runCommand(command).output;
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r'))
    output.pop_back();
  return output;
}

struct AppOptions {
  // The file under the root that receives the app's standard error.
  std::string logName = "app.log";
  // RLIMIT_FSIZE of the app, in bytes: a write past it fails with EFBIG
  // (SIGXFSZ is ignored, so the app sees the error instead of dying), as
  // on a full disk.
  std::optional<rlim_t> fileSizeLimit;
  // Set in the app's environment besides its private folders.
  std::vector<std::pair<std::string, std::string>> environment;
  // The test control socket's hooks; without them only what `vidorel ctl`
  // may do is open, and the app is ended as a logout would (SIGTERM).
  bool testControl = true;
};

class RunningApp {
public:
  explicit RunningApp(fs::path root, AppOptions options = {})
      : root_(std::move(root)), options_(std::move(options)) {
    fs::create_directories(root_ / "data");
    fs::create_directories(root_ / "config");
    fs::create_directories(root_ / "runtime");
    fs::permissions(root_ / "runtime", fs::perms::owner_all);
    pid_ = fork();
    if (pid_ == 0) {
      if (options_.testControl)
        setenv("VIDOREL_TEST_CONTROL", "1", 1);
      else
        unsetenv("VIDOREL_TEST_CONTROL");
      for (const auto& [name, value] : environment())
        setenv(name.c_str(), value.c_str(), 1);
      std::string log = (root_ / options_.logName).string();
      if (!freopen(log.c_str(), "w", stderr))
        _exit(126);
      if (options_.fileSizeLimit) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{*options_.fileSizeLimit, *options_.fileSizeLimit};
        setrlimit(RLIMIT_FSIZE, &limit);
      }
      execl(VIDOREL_BINARY, VIDOREL_BINARY, nullptr);
      _exit(127);
    }
  }

  ~RunningApp() {
    if (pid_ <= 0)
      return;
    if (options_.testControl)
      send("quit");
    else
      kill(pid_, SIGTERM);
    for (int i = 0; i < 50 && !exited(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!exited())
      killNow();
  }

  RunningApp(const RunningApp&) = delete;
  RunningApp& operator=(const RunningApp&) = delete;

  // SIGKILL, as a crash or a power cut would end it; returns once reaped.
  void killNow() {
    if (pid_ <= 0)
      return;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    exitStatus_ = status;
    pid_ = -1;
  }

  // The app's one-line answer; nothing when it does not answer.
  std::optional<std::string> send(const std::string& line) const {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0)
      return std::nullopt;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = (root_ / "runtime" / "vidorel" / "control").string();
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      return std::nullopt;
    }
    std::string request = line + "\n";
    if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
      close(fd);
      return std::nullopt;
    }
    std::string reply;
    char buffer[4096];
    while (reply.find('\n') == std::string::npos) {
      ssize_t got = read(fd, buffer, sizeof buffer);
      if (got <= 0)
        break;
      reply.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    if (reply.find('\n') == std::string::npos)
      return std::nullopt;
    return reply.substr(0, reply.find('\n'));
  }

  std::string ask(const std::string& line) const { return send(line).value_or("<no answer>"); }

  // Polls `line` until it answers `expected`; false after the timeout.
  bool waitFor(const std::string& line, const std::string& expected, double seconds) const {
    auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < deadline) {
      if (send(line) == expected)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // The control socket answers; false when the app exited or never did.
  bool waitUntilAnswering() {
    auto started = Clock::now();
    while (!send("state?") && !exited() && Clock::now() - started < std::chrono::seconds(15))
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return send("state?").has_value();
  }

  bool exited() {
    if (pid_ <= 0)
      return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exitStatus_ = status;
      pid_ = -1;
      return true;
    }
    return false;
  }

  // `vidorel ARGUMENTS` run beside the app with its folders and environment.
  testing::CommandResult command(const std::string& arguments) const {
    std::string env = "env";
    for (const auto& [name, value] : environment())
      env += " " + name + "='" + value + "'";
    return testing::runShellCommand(env + " " + VIDOREL_BINARY + " " + arguments);
  }

  // Polls `vidorel ctl status` until it prints `expected`.
  bool waitForStatus(const std::string& expected, double seconds) const {
    auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < deadline) {
      testing::CommandResult status = command("ctl status");
      if (status.status == 0 && status.output == expected)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  const fs::path& root() const { return root_; }
  fs::path sessions() const { return root_ / "data" / "Vidorel" / "Sessions"; }
  fs::path logPath() const { return root_ / options_.logName; }
  std::string log() const { return runCommand("cat '" + logPath().string() + "'"); }

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
  int exitStatus_ = 0;
};

inline void xdotool(const std::string& arguments) {
  std::system(("xdotool " + arguments).c_str());
}

inline void key(const std::string& combination) {
  xdotool("key --clearmodifiers " + combination);
}

struct ScreenRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  int centreX() const { return x + width / 2; }
  int centreY() const { return y + height / 2; }
};

// A part of the app's windows as the app reports it; nothing when it is
// not on screen.
inline std::optional<ScreenRect> where(const RunningApp& app, const std::string& what) {
  std::istringstream answer(app.ask("where? " + what));
  ScreenRect rect;
  if (!(answer >> rect.x >> rect.y >> rect.width >> rect.height))
    return std::nullopt;
  return rect;
}

inline std::optional<ScreenRect> waitForPart(const RunningApp& app, const std::string& what,
                                             double seconds) {
  auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < deadline) {
    if (std::optional<ScreenRect> rect = where(app, what))
      return rect;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return std::nullopt;
}

inline void clickAt(int x, int y, int count = 1) {
  xdotool(formatString("mousemove %d %d sleep 0.15 click --repeat %d --delay 80 1", x, y, count));
}

// Pressed, moved in steps (a drag starts only past a threshold), released.
inline void dragWithThePointer(int fromX, int fromY, int toX, int toY) {
  xdotool(formatString("mousemove %d %d sleep 0.2 mousedown 1 sleep 0.2 mousemove %d %d sleep 0.2 "
                       "mousemove %d %d sleep 0.2 mousemove %d %d sleep 0.3 mouseup 1",
                       fromX, fromY, fromX + (toX - fromX) / 4, fromY + (toY - fromY) / 4 + 3, toX,
                       toY - 2, toX, toY));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

// The manifest of a session folder as it is on disk.
inline std::optional<SessionManifest> readManifest(const fs::path& session) {
  std::ifstream in(session / "manifest.json");
  std::stringstream bytes;
  bytes << in.rdbuf();
  auto decoded = decodeManifest(bytes.str());
  if (!decoded)
    return std::nullopt;
  return *decoded;
}

// Polls the autosaved session until `holds` is true of it.
inline bool waitForManifest(const fs::path& session,
                            const std::function<bool(const SessionManifest&)>& holds,
                            double seconds) {
  auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < deadline) {
    std::optional<SessionManifest> manifest = readManifest(session);
    if (manifest && holds(*manifest))
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

} // namespace vidorel::e2e
