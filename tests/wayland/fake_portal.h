#pragma once

// tests/wayland/fake_portal.py as a child process of a test, owning the
// portal's name on the session bus (with-pipewire starts the bus) until it
// is destroyed. The including test defines VIDOREL_FAKE_PORTAL.

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef VIDOREL_FAKE_PORTAL
#error "define VIDOREL_FAKE_PORTAL as the path of fake_portal.py"
#endif

namespace vidorel::testing {

class FakePortal {
public:
  // Serves the PipeWire node `node` as the shared monitor and logs every
  // call it answers to `log`; `extra` are more options of the script.
  FakePortal(std::filesystem::path log, const std::string& node,
             std::vector<std::string> extra = {})
      : log_(std::move(log)) {
    std::vector<std::string> words = {
        "/usr/bin/python3", VIDOREL_FAKE_PORTAL, "--node", node, "--log", log_.string()};
    words.insert(words.end(), extra.begin(), extra.end());
    pid_ = fork();
    if (pid_ == 0) {
      std::vector<char*> argv;
      for (std::string& word : words)
        argv.push_back(word.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    // It logs "ready" once it owns the portal's name on the bus.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ready_ && std::chrono::steady_clock::now() < deadline) {
      ready_ = !calls("ready").empty();
      if (!ready_)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  ~FakePortal() {
    if (pid_ <= 0)
      return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 50; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_)
        return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

  FakePortal(const FakePortal&) = delete;
  FakePortal& operator=(const FakePortal&) = delete;

  bool ready() const { return ready_; }

  // The calls it answered, in order, with their options.
  std::vector<nlohmann::json> calls(const std::string& method) const {
    std::vector<nlohmann::json> found;
    std::ifstream in(log_);
    std::string line;
    while (std::getline(in, line)) {
      nlohmann::json call = nlohmann::json::parse(line, nullptr, false);
      if (!call.is_discarded() && call["method"] == method)
        found.push_back(call["options"]);
    }
    return found;
  }

private:
  std::filesystem::path log_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

} // namespace vidorel::testing
