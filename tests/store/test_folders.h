#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace vidorel::testing {

// A fresh folder under the system's temporary folder, removed afterwards.
class TemporaryFolder {
public:
  explicit TemporaryFolder(const std::string& label) {
    path_ =
        std::filesystem::temp_directory_path() /
        ("vidorel-" + label + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

private:
  static int& counter() {
    static int value = 0;
    return value;
  }
  std::filesystem::path path_;
};

// Points XDG_DATA_HOME and XDG_CONFIG_HOME at a private folder for the
// whole test program, so no test touches the user's real sessions.
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

} // namespace vidorel::testing
