#include "base/files.h"
#include "base/uuid.h"

#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vidorel {
namespace {
namespace fs = std::filesystem;
using vidorel::testing::finishesWithin;
using vidorel::testing::readFile;

class FilesTest : public ::testing::Test {
protected:
  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(root_))
      names.insert(entry.path().filename().string());
    return names;
  }

  vidorel::testing::TemporaryFolder folder_{"files"};
  fs::path root_ = folder_.path();
};

// The name a temporary for movie.mov gets beside it.
std::string temporaryName(const std::string& destination = "movie.mov") {
  return "." + destination + "." + Uuid::random().string() + ".tmp";
}

TEST_F(FilesTest, AtomicWriteReplacesWholeAndNeverWritesThroughALinkAtTheTemporaryName) {
  fs::path file = root_ / "manifest.json";
  ASSERT_FALSE(writeFileAtomically(file, "old"));
  std::ofstream(root_ / "outside.txt") << "keep";
  fs::create_symlink(root_ / "outside.txt", root_ / "manifest.json.tmp");
  ASSERT_FALSE(writeFileAtomically(file, "new contents"));
  EXPECT_EQ(readFile(file), "new contents");
  EXPECT_EQ(readFile(root_ / "outside.txt"), "keep");
  EXPECT_EQ(entries(), (std::set<std::string>{"manifest.json", "outside.txt"}));
  EXPECT_TRUE(writeFileAtomically(root_ / "missing" / "file", "x"));
}

TEST_F(FilesTest, OnlyRegularFilesAreRead) {
  fs::path pipe = root_ / "pipe";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
  fs::create_directories(root_ / "folder");
  std::ofstream(root_ / "plain") << "text";
  fs::create_symlink(root_ / "plain", root_ / "link");
  fs::create_symlink(pipe, root_ / "link-to-pipe");
  // In a child process: a regression would wait for a writer forever.
  EXPECT_TRUE(finishesWithin(20, [&] {
    std::string contents;
    return readRegularFile(pipe, contents) == FileError::notRegularFile &&
           readRegularFile(root_ / "link-to-pipe", contents) == FileError::notRegularFile &&
           readRegularFile(root_ / "folder", contents) == FileError::notRegularFile &&
           readRegularFile("/dev/zero", contents) == FileError::notRegularFile &&
           !isRegularFile(pipe) && !isRegularFile("/dev/null");
  }));
  std::string contents;
  EXPECT_EQ(readRegularFile(root_ / "missing", contents), std::errc::no_such_file_or_directory);
  ASSERT_FALSE(readRegularFile(root_ / "link", contents));
  EXPECT_EQ(contents, "text");
  EXPECT_TRUE(isRegularFile(root_ / "link"));
}

TEST_F(FilesTest, CopyKeepsLinksAsLinksLeavesPipesOutAndRemovesAFailedCopy) {
  fs::path source = root_ / "a";
  fs::create_directories(source / "takes" / "deeper");
  std::ofstream(source / "takes" / "deeper" / "t.mov") << "movie";
  ASSERT_EQ(::chmod((source / "takes" / "deeper" / "t.mov").c_str(), 0600), 0);
  fs::create_symlink(root_ / "elsewhere", source / "takes" / "link");
  ASSERT_EQ(::mkfifo((source / "takes" / "pipe").c_str(), 0644), 0);
  EXPECT_TRUE(finishesWithin(20, [&] { return !copyFolder(source, root_ / "b"); }));
  EXPECT_EQ(readFile(root_ / "b" / "takes" / "deeper" / "t.mov"), "movie");
  EXPECT_EQ(fs::status(root_ / "b" / "takes" / "deeper" / "t.mov").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::read_symlink(root_ / "b" / "takes" / "link"), root_ / "elsewhere");
  EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "b" / "takes" / "pipe")));

  // The suite's one full disk: a write limit stops the second file.
  fs::remove(source / "takes" / "pipe");
  std::ofstream(source / "takes" / "2.mov") << std::string(200000, 'x');
  EXPECT_TRUE(finishesWithin(20, [&] {
    vidorel::testing::limitFileSize(100000);
    return copyFolder(source, root_ / "c") == std::errc::file_too_large;
  }));
  EXPECT_FALSE(fs::exists(root_ / "c"));
  EXPECT_EQ(fs::file_size(source / "takes" / "2.mov"), 200000u);
}

TEST_F(FilesTest, ReplacementFileTakesTheDestinationsPlaceOnlyWhenCommitted) {
  fs::path movie = root_ / "movie.mov";
  std::ofstream(movie) << "old";
  for (bool discard : {true, false}) {
    ReplacementFile file;
    ASSERT_FALSE(file.create(movie));
    ASSERT_EQ(::write(file.descriptor(), "half", 4), 4);
    if (discard)
      file.discard();
  }
  EXPECT_EQ(readFile(movie), "old");
  EXPECT_EQ(entries(), std::set<std::string>{"movie.mov"});

  ReplacementFile file;
  ASSERT_FALSE(file.create(movie));
  ASSERT_EQ(::write(file.descriptor(), "new", 3), 3);
  ASSERT_FALSE(file.commit());
  EXPECT_EQ(readFile(movie), "new");
  EXPECT_EQ(fs::status(movie).permissions() & fs::perms::owner_write, fs::perms::owner_write);
  EXPECT_EQ(entries(), std::set<std::string>{"movie.mov"});
  EXPECT_EQ(file.create(root_ / "missing" / "movie.mov"), std::errc::no_such_file_or_directory);
}

TEST_F(FilesTest, OnlyLeftoversOfKilledWritersForTheDestinationAreRemoved) {
  fs::path movie = root_ / "movie.mov";
  std::string stale = temporaryName();
  std::ofstream(root_ / stale) << "left by a killed export";
  // Names of other files, or not quite ours.
  std::set<std::string> kept = {"movie.mov", ".movie.mov.not-a-uuid.tmp",
                                temporaryName("other.mov"), stale + ".tmp", stale.substr(1)};
  for (const std::string& name : kept)
    std::ofstream(root_ / name) << name;
  // Our name, but a link (its target must stay), a folder or a pipe.
  std::string link = temporaryName(), folder = temporaryName(), pipe = temporaryName();
  fs::create_symlink(root_ / "movie.mov", root_ / link);
  fs::create_directory(root_ / folder);
  ASSERT_EQ(::mkfifo((root_ / pipe).c_str(), 0644), 0);
  // Still being written: its writer holds the lock.
  std::string busy = temporaryName();
  int busyFd = ::open((root_ / busy).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  ASSERT_GE(busyFd, 0);
  ASSERT_EQ(::flock(busyFd, LOCK_EX | LOCK_NB), 0);
  kept.insert({link, folder, pipe, busy});

  removeStaleTemporaries(movie);
  EXPECT_EQ(entries(), kept);
  EXPECT_EQ(readFile(root_ / "movie.mov"), "movie.mov");
  ::close(busyFd);
  removeStaleTemporaries(movie);
  kept.erase(busy);
  EXPECT_EQ(entries(), kept);
}

TEST_F(FilesTest, IsWithinComparesWholeComponents) {
  EXPECT_TRUE(isWithin(root_ / "s" / "takes" / "x.mov", root_ / "s"));
  EXPECT_TRUE(isWithin(root_ / "s" / ".." / "s" / "m", root_ / "s"));
  EXPECT_FALSE(isWithin(root_ / "session2" / "x", root_ / "session"));
  EXPECT_FALSE(isWithin(root_ / "s" / ".." / "t", root_ / "s"));
}

} // namespace
} // namespace vidorel
