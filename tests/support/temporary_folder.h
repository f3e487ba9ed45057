#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vidorel::testing {

// A fresh folder under the system's temporary folder (mkdtemp: never reused).
inline std::filesystem::path makeTemporaryFolder(const std::string& label) {
  std::string pattern = (std::filesystem::temp_directory_path() /
                         ("vidorel-" + label + "-" + std::to_string(::getpid()) + "-XXXXXX"))
                            .string();
  if (!::mkdtemp(pattern.data()))
    throw std::runtime_error("mkdtemp failed for " + pattern);
  return pattern;
}

// A temporary folder removed with the object.
class TemporaryFolder {
public:
  explicit TemporaryFolder(const std::string& label) : path_(makeTemporaryFolder(label)) {}
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

private:
  std::filesystem::path path_;
};

// Private XDG data and config folders for the whole program: no test touches
// the user's real sessions.
class PrivateXdgFolders : public ::testing::Environment {
public:
  void SetUp() override {
    root_ = std::make_unique<TemporaryFolder>("xdg");
    ::setenv("XDG_DATA_HOME", (root_->path() / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root_->path() / "config").c_str(), 1);
  }
  void TearDown() override { root_.reset(); }

private:
  std::unique_ptr<TemporaryFolder> root_;
};

// Every test program that includes this header runs with private folders.
inline ::testing::Environment* const privateXdgFolders =
    ::testing::AddGlobalTestEnvironment(new PrivateXdgFolders);

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void writeFile(const std::filesystem::path& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary);
  out << contents;
}

// In a child process: writes past `bytes` fail with EFBIG, as on a full disk.
inline void limitFileSize(rlim_t bytes) {
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{bytes, bytes};
  ::setrlimit(RLIMIT_FSIZE, &limit);
}

// Runs body in a child; succeeds when it returns true within the seconds. A
// hanging body (e.g. blocked on a named pipe) is killed and fails the test.
inline ::testing::AssertionResult finishesWithin(int seconds, const std::function<bool()>& body) {
  pid_t child = ::fork();
  if (child < 0)
    return ::testing::AssertionFailure() << "fork failed";
  if (child == 0)
    ::_exit(body() ? 0 : 1);
  for (int waited = 0; waited < seconds * 100; ++waited) {
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child) {
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return ::testing::AssertionSuccess();
      return ::testing::AssertionFailure() << "the body returned false or crashed";
    }
    ::usleep(10000);
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  return ::testing::AssertionFailure() << "did not finish within " << seconds << " s";
}

} // namespace vidorel::testing
