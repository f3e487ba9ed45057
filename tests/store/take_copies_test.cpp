#include "store/session_store.h"

#include "fakes/fake_duration_probe.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace vidorel {
namespace {
namespace fs = std::filesystem;
using testing::TemporaryFolder;
using testing::writeFile;

// A recorder killed while it rewrote a finished take leaves its hidden copy;
// the next open of the session removes it, but never a copy whose writer is
// still at work, the take itself, or anything merely named alike.
TEST(AbandonedTakeCopies, OnlyUnlockedCopiesOfTheWriterAreRemoved) {
  TemporaryFolder temp("copies");
  Session session(temp.path() / "6F9619FF-8B86-4011-B42D-00C04FC964FF");
  fs::create_directories(session.takesFolder());
  fs::path takes = session.takesFolder();
  writeFile(takes / "take.mov", "the whole fragmented take");
  writeFile(takes / ".take.mov.finishing-a1B2c3", "abandoned copy");
  writeFile(takes / ".other.mov.finishing-Zz9yY8", "copy in progress");
  writeFile(takes / "take.mov.finishing-a1B2c3", "not hidden: the user's");
  writeFile(takes / ".take.mov.finishing-toolong", "not the writer's pattern");
  writeFile(temp.path() / "outside", "a link must not be followed");
  fs::create_symlink(temp.path() / "outside", takes / ".link.mov.finishing-q1w2e3");

  int busy = ::open((takes / ".other.mov.finishing-Zz9yY8").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(busy, 0);
  ASSERT_EQ(::flock(busy, LOCK_EX), 0);

  Logger logger;
  FakeDurationProbe probe;
  SessionStore store(logger, probe);
  EXPECT_EQ(store.removeAbandonedTakeCopies(session), 1);
  EXPECT_FALSE(fs::exists(takes / ".take.mov.finishing-a1B2c3"));
  for (const char* kept : {"take.mov", ".other.mov.finishing-Zz9yY8", "take.mov.finishing-a1B2c3",
                           ".take.mov.finishing-toolong"})
    EXPECT_TRUE(fs::exists(takes / kept)) << kept;
  EXPECT_TRUE(fs::is_symlink(takes / ".link.mov.finishing-q1w2e3"));
  EXPECT_TRUE(fs::exists(temp.path() / "outside"));

  // Once its writer is gone (killed: the lock goes with the process), the
  // copy in progress is abandoned too.
  ::close(busy);
  EXPECT_EQ(store.removeAbandonedTakeCopies(session), 1);
  EXPECT_FALSE(fs::exists(takes / ".other.mov.finishing-Zz9yY8"));
}

} // namespace
} // namespace vidorel
