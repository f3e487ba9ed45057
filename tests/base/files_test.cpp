#include "base/files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace vidorel {
namespace {
namespace fs = std::filesystem;

class FilesTest : public ::testing::Test {
protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("vidorel-files-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  static std::string read(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  fs::path root_;
};

TEST_F(FilesTest, AtomicWriteReplacesAndLeavesNoTemporary) {
  fs::path file = root_ / "manifest.json";
  ASSERT_FALSE(writeFileAtomically(file, "old"));
  ASSERT_FALSE(writeFileAtomically(file, "new"));
  EXPECT_EQ(read(file), "new");
  EXPECT_FALSE(fs::exists(root_ / "manifest.json.tmp"));
  EXPECT_TRUE(writeFileAtomically(root_ / "missing" / "file", "x"));
}

TEST_F(FilesTest, MoveAndCopyFolders) {
  fs::create_directories(root_ / "a" / "takes");
  std::ofstream(root_ / "a" / "takes" / "t.mov") << "movie";
  ASSERT_FALSE(copyFolder(root_ / "a", root_ / "b"));
  EXPECT_EQ(read(root_ / "b" / "takes" / "t.mov"), "movie");
  EXPECT_TRUE(copyFolder(root_ / "a", root_ / "b")) << "an existing destination is refused";

  ASSERT_FALSE(moveItem(root_ / "a", root_ / "c"));
  EXPECT_FALSE(fs::exists(root_ / "a"));
  EXPECT_EQ(read(root_ / "c" / "takes" / "t.mov"), "movie");
  EXPECT_TRUE(moveItem(root_ / "b", root_ / "c"));
  EXPECT_TRUE(fs::exists(root_ / "b"));
}

TEST_F(FilesTest, IsWithinComparesWholeComponents) {
  EXPECT_TRUE(isWithin(root_ / "s" / "takes" / "x.mov", root_ / "s"));
  EXPECT_TRUE(isWithin(root_ / "s", root_ / "s"));
  EXPECT_TRUE(isWithin(root_ / "s" / ".." / "s" / "m", root_ / "s"));
  EXPECT_FALSE(isWithin(root_ / "session2" / "x", root_ / "session"));
  EXPECT_FALSE(isWithin(root_ / "s" / ".." / "t", root_ / "s"));
}

} // namespace
} // namespace vidorel
