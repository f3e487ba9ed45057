#pragma once

// tests/wayland/fake_portal.py as a child process of a test, owning the
// portal's name on the session bus of with-pipewire until it is destroyed.
// The including test defines VIDOREL_FAKE_PORTAL.

#include "support/temporary_folder.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifndef VIDOREL_FAKE_PORTAL
#error "define VIDOREL_FAKE_PORTAL as the path of fake_portal.py"
#endif

namespace vidorel::testing {

// with-pipewire's test picture `index` (0-2, one stream each); 0 without.
inline std::uint32_t testNode(int index = 0) {
  const char* nodes = std::getenv("VIDOREL_TEST_PIPEWIRE_NODES");
  std::istringstream words(nodes ? nodes : "");
  std::uint32_t node = 0;
  for (int i = 0; i <= index; ++i)
    if (!(words >> node))
      return 0;
  return node;
}

// A method of the fake portal's test interface, as the desktop's user.
inline int onTheDesktop(const std::string& methodAndArguments) {
  return std::system(
      ("dbus-send --session --type=method_call --dest=org.freedesktop.portal.Desktop "
       "/org/freedesktop/portal/desktop org.vidorel.Test." +
       methodAndArguments)
          .c_str());
}

class FakePortal {
public:
  // Test picture `source` as the shared monitor, with the script's `options`.
  explicit FakePortal(std::vector<std::string> options = {}, int source = 0) {
    std::vector<std::string> words = {"/usr/bin/python3",
                                      VIDOREL_FAKE_PORTAL,
                                      "--node",
                                      std::to_string(testNode(source)),
                                      "--log",
                                      log()};
    words.insert(words.end(), options.begin(), options.end());
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
    for (int i = 0; i < 200 && !ready(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }

  ~FakePortal() {
    if (pid_ > 0 && kill(pid_, SIGTERM) == 0)
      waitpid(pid_, nullptr, 0);
  }

  FakePortal(const FakePortal&) = delete;
  FakePortal& operator=(const FakePortal&) = delete;

  bool ready() const { return !calls("ready").empty(); }

  // The calls it answered, in order, with their options.
  std::vector<nlohmann::json> calls(const std::string& method) const {
    std::vector<nlohmann::json> found;
    std::istringstream lines(readFile(log()));
    for (std::string line; std::getline(lines, line);) {
      nlohmann::json call = nlohmann::json::parse(line, nullptr, false);
      if (!call.is_discarded() && call["method"] == method)
        found.push_back(call["options"]);
    }
    return found;
  }

private:
  std::string log() const { return (folder_.path() / "portal.jsonl").string(); }

  TemporaryFolder folder_{"portal"};
  pid_t pid_ = -1;
};

} // namespace vidorel::testing
