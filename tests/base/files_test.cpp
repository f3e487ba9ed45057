#include "base/files.h"
#include "base/uuid.h"

#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vidorel {
namespace {
namespace fs = std::filesystem;

class FilesTest : public ::testing::Test {
protected:
  static std::string read(const fs::path& path) { return vidorel::testing::readFile(path); }

  // The names in the test's folder.
  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(root_))
      names.insert(entry.path().filename().string());
    return names;
  }

  static void writeAll(int fd, const std::string& text) {
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  vidorel::testing::TemporaryFolder folder_{"files"};
  fs::path root_ = folder_.path();
};

// The name a temporary for movie.mov gets beside it.
std::string temporaryName(const std::string& destination = "movie.mov") {
  return "." + destination + "." + Uuid::random().string() + ".tmp";
}

// Whether the folder's file system makes unnamed files.
bool supportsUnnamedFiles(const fs::path& folder) {
  int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0)
    return false;
  ::close(fd);
  return true;
}

TEST_F(FilesTest, AtomicWriteReplacesAndLeavesNoTemporary) {
  fs::path file = root_ / "manifest.json";
  ASSERT_FALSE(writeFileAtomically(file, "old"));
  // A longer leftover must not leave its tail behind the new contents.
  std::ofstream(root_ / "manifest.json.tmp") << "a much longer leftover temporary";
  ASSERT_FALSE(writeFileAtomically(file, "new"));
  EXPECT_EQ(read(file), "new");
  EXPECT_FALSE(fs::exists(root_ / "manifest.json.tmp"));
  EXPECT_TRUE(writeFileAtomically(root_ / "missing" / "file", "x"));
}

TEST_F(FilesTest, AtomicWriteNeverWritesThroughALinkAtTheTemporaryName) {
  fs::path outside = root_ / "outside.txt";
  std::ofstream(outside) << "keep";
  fs::create_directories(root_ / "package");
  fs::path file = root_ / "package" / "manifest.json";
  fs::create_symlink(outside, root_ / "package" / "manifest.json.tmp");
  ASSERT_FALSE(writeFileAtomically(file, "new"));
  EXPECT_EQ(read(outside), "keep");
  EXPECT_EQ(read(file), "new");
  EXPECT_FALSE(fs::is_symlink(file));
  EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "package" / "manifest.json.tmp")));

  // A dangling link must not create its target either.
  fs::path target = root_ / "created-through-link";
  fs::create_symlink(target, root_ / "package" / "manifest.json.tmp");
  ASSERT_FALSE(writeFileAtomically(file, "newer"));
  EXPECT_FALSE(fs::exists(target));
  EXPECT_EQ(read(file), "newer");

  // A link at the final name is replaced, not written through.
  fs::remove(file);
  fs::create_symlink(outside, file);
  ASSERT_FALSE(writeFileAtomically(file, "newest"));
  EXPECT_EQ(read(outside), "keep");
  EXPECT_FALSE(fs::is_symlink(file));
  EXPECT_EQ(read(file), "newest");
}

TEST_F(FilesTest, OnlyRegularFilesAreRead) {
  fs::path pipe = root_ / "pipe";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
  fs::create_directories(root_ / "folder");
  std::ofstream(root_ / "plain") << "text";
  fs::create_symlink(root_ / "plain", root_ / "link");
  fs::create_symlink(pipe, root_ / "link-to-pipe");
  // In a child process: a regression would wait for a writer forever.
  EXPECT_TRUE(vidorel::testing::finishesWithin(20, [&] {
    std::string contents;
    return readRegularFile(pipe, contents) == FileError::notRegularFile &&
           readRegularFile(root_ / "link-to-pipe", contents) == FileError::notRegularFile &&
           readRegularFile(root_ / "folder", contents) == FileError::notRegularFile &&
           readRegularFile("/dev/zero", contents) == FileError::notRegularFile &&
           !isRegularFile(pipe) && !isRegularFile("/dev/null") && !isRegularFile(root_ / "folder");
  }));
  std::string contents;
  EXPECT_EQ(readRegularFile(root_ / "missing", contents), std::errc::no_such_file_or_directory);
  ASSERT_FALSE(readRegularFile(root_ / "plain", contents));
  EXPECT_EQ(contents, "text");
  ASSERT_FALSE(readRegularFile(root_ / "link", contents));
  EXPECT_EQ(contents, "text");
  EXPECT_TRUE(isRegularFile(root_ / "link"));
  EXPECT_EQ(make_error_code(FileError::notRegularFile).message(), "Not a regular file");
}

TEST_F(FilesTest, CopyKeepsLinksAsLinksAndLeavesPipesOut) {
  fs::path source = root_ / "a";
  fs::create_directories(source / "takes" / "deeper");
  std::ofstream(source / "takes" / "deeper" / "t.mov") << "movie";
  ASSERT_EQ(::chmod((source / "takes" / "deeper" / "t.mov").c_str(), 0600), 0);
  fs::create_directories(root_ / "elsewhere");
  std::ofstream(root_ / "elsewhere" / "secret") << "secret";
  fs::create_symlink(root_ / "elsewhere", source / "takes" / "link");
  ASSERT_EQ(::mkfifo((source / "takes" / "pipe").c_str(), 0644), 0);
  EXPECT_TRUE(
      vidorel::testing::finishesWithin(20, [&] { return !copyFolder(source, root_ / "b"); }));
  EXPECT_EQ(read(root_ / "b" / "takes" / "deeper" / "t.mov"), "movie");
  EXPECT_EQ(fs::status(root_ / "b" / "takes" / "deeper" / "t.mov").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_TRUE(fs::is_symlink(root_ / "b" / "takes" / "link"));
  EXPECT_EQ(fs::read_symlink(root_ / "b" / "takes" / "link"), root_ / "elsewhere");
  EXPECT_FALSE(fs::exists(fs::symlink_status(root_ / "b" / "takes" / "pipe")));
}

TEST_F(FilesTest, FailedCopyRemovesItsPartialCopy) {
  fs::path source = root_ / "a";
  fs::create_directories(source / "takes");
  std::ofstream(source / "takes" / "1.mov") << "one";
  std::ofstream(source / "takes" / "2.mov") << std::string(200000, 'x');
  // A write limit stands for a full disk: the second file cannot be copied.
  EXPECT_TRUE(vidorel::testing::finishesWithin(20, [&] {
    vidorel::testing::limitFileSize(100000);
    return copyFolder(source, root_ / "b") == std::errc::file_too_large;
  }));
  EXPECT_FALSE(fs::exists(root_ / "b"));
  EXPECT_EQ(read(source / "takes" / "1.mov"), "one");
  EXPECT_EQ(fs::file_size(source / "takes" / "2.mov"), 200000u);
}

// /dev/shm is a second file system on most Linux machines: a rename to it
// fails with EXDEV and the move must copy.
TEST_F(FilesTest, MoveAcrossFileSystemsCopiesEverythingThenRemovesTheSource) {
  struct stat here {
  }, shm{};
  if (::stat(root_.c_str(), &here) != 0 || ::stat("/dev/shm", &shm) != 0 ||
      here.st_dev == shm.st_dev || ::access("/dev/shm", W_OK) != 0)
    GTEST_SKIP() << "no second writable file system at /dev/shm";
  fs::path source = root_ / "session";
  fs::create_directories(source / "takes");
  std::ofstream(source / "manifest.json") << "{}";
  std::ofstream(source / "takes" / "scene-1-take-1.mov") << std::string(3 << 20, 'x');
  fs::path destination = fs::path("/dev/shm") / ("vidorel-files-" + std::to_string(::getpid()));
  fs::remove_all(destination);
  std::error_code error = moveItem(source, destination);
  EXPECT_FALSE(error) << error.message();
  EXPECT_FALSE(fs::exists(source));
  EXPECT_EQ(read(destination / "manifest.json"), "{}");
  EXPECT_EQ(fs::file_size(destination / "takes" / "scene-1-take-1.mov"), 3u << 20);

  // And back again, onto an item that is in the way: refused, nothing lost.
  fs::create_directories(source);
  EXPECT_EQ(moveItem(destination, source), std::errc::file_exists);
  EXPECT_TRUE(fs::exists(destination / "manifest.json"));
  fs::remove(source);
  ASSERT_FALSE(moveItem(destination, source));
  EXPECT_FALSE(fs::exists(destination));
  EXPECT_EQ(fs::file_size(source / "takes" / "scene-1-take-1.mov"), 3u << 20);
}

TEST_F(FilesTest, ReplacementFileTakesTheDestinationsPlaceOnlyWhenCommitted) {
  fs::path movie = root_ / "movie.mov";
  std::ofstream(movie) << "old";

  // Discarded: the old file stays, nothing else is left.
  {
    ReplacementFile file;
    ASSERT_FALSE(file.create(movie));
    writeAll(file.descriptor(), "half");
    EXPECT_EQ(file.isUnnamed(), supportsUnnamedFiles(root_));
    if (file.isUnnamed()) {
      EXPECT_EQ(entries(), std::set<std::string>{"movie.mov"});
    } else {
      EXPECT_EQ(entries().size(), 2u);
    }
    file.discard();
  }
  EXPECT_EQ(read(movie), "old");
  EXPECT_EQ(entries(), std::set<std::string>{"movie.mov"});

  // Dropped without a word: the same.
  {
    ReplacementFile file;
    ASSERT_FALSE(file.create(movie));
    writeAll(file.descriptor(), "half");
  }
  EXPECT_EQ(read(movie), "old");
  EXPECT_EQ(entries(), std::set<std::string>{"movie.mov"});

  // Committed: the new contents under the name, as a plain file of its own.
  ReplacementFile file;
  ASSERT_FALSE(file.create(movie));
  writeAll(file.descriptor(), "new movie");
  ASSERT_FALSE(file.commit());
  EXPECT_EQ(file.descriptor(), -1);
  EXPECT_EQ(read(movie), "new movie");
  EXPECT_EQ(fs::status(movie).permissions() & fs::perms::owner_write, fs::perms::owner_write);
  EXPECT_EQ(entries(), std::set<std::string>{"movie.mov"});

  // A new file where there was none; a missing folder fails at once.
  ASSERT_FALSE(file.create(root_ / "first.mov"));
  writeAll(file.descriptor(), "first");
  ASSERT_FALSE(file.commit());
  EXPECT_EQ(read(root_ / "first.mov"), "first");
  EXPECT_EQ(file.create(root_ / "missing" / "movie.mov"), std::errc::no_such_file_or_directory);
}

TEST_F(FilesTest, ReplacementFileOfAKilledWriterLeavesNothingBehind) {
  fs::path movie = root_ / "movie.mov";
  std::ofstream(movie) << "old";
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ReplacementFile file;
    if (file.create(movie))
      ::_exit(1);
    std::string half(1 << 20, 'x');
    if (::write(file.descriptor(), half.data(), half.size()) != static_cast<ssize_t>(half.size()))
      ::_exit(1);
    ::raise(SIGKILL);
    ::_exit(1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  EXPECT_EQ(read(movie), "old");
  if (supportsUnnamedFiles(root_)) {
    EXPECT_EQ(entries(), std::set<std::string>{"movie.mov"});
  }

  // Where the file had a name, the next writer for the destination
  // removes it.
  ReplacementFile file;
  ASSERT_FALSE(file.create(movie));
  file.discard();
  EXPECT_EQ(entries(), std::set<std::string>{"movie.mov"});
}

TEST_F(FilesTest, OnlyLeftoversOfKilledWritersForTheDestinationAreRemoved) {
  fs::path movie = root_ / "movie.mov";
  std::string stale = temporaryName();
  std::ofstream(root_ / stale) << "left by a killed export";
  // Names of other files, or not quite ours.
  std::set<std::string> kept = {"movie.mov",
                                ".movie.mov.not-a-uuid.tmp",
                                temporaryName("other.mov"),
                                "." + stale,
                                stale + ".tmp",
                                stale.substr(1)};
  for (const std::string& name : kept)
    std::ofstream(root_ / name) << name;
  // Our name, but not a plain file: a link (its target must stay), a folder
  // and a pipe.
  std::string link = temporaryName();
  fs::create_symlink(root_ / "movie.mov", root_ / link);
  std::string folder = temporaryName();
  fs::create_directory(root_ / folder);
  std::string pipe = temporaryName();
  ASSERT_EQ(::mkfifo((root_ / pipe).c_str(), 0644), 0);
  kept.insert({link, folder, pipe});
  // Still being written: its writer holds the lock.
  std::string busy = temporaryName();
  int busyFd = ::open((root_ / busy).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  ASSERT_GE(busyFd, 0);
  ASSERT_EQ(::flock(busyFd, LOCK_EX | LOCK_NB), 0);
  kept.insert(busy);
  // Another user's (only root can make one).
  std::string foreign = temporaryName();
  std::ofstream(root_ / foreign) << "someone else's";
  if (::geteuid() == 0 && ::chown((root_ / foreign).c_str(), 12345, 12345) == 0)
    kept.insert(foreign);
  else
    fs::remove(root_ / foreign);

  removeStaleTemporaries(movie);
  EXPECT_EQ(entries(), kept);
  EXPECT_EQ(read(root_ / "movie.mov"), "movie.mov");

  // Once its writer is gone, the busy one is a leftover too.
  ::close(busyFd);
  removeStaleTemporaries(movie);
  kept.erase(busy);
  EXPECT_EQ(entries(), kept);
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
