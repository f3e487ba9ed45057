#include "store/session_store.h"

#include "base/files.h"
#include "fakes/fake_duration_probe.h"
#include "fakes/session_builder.h"
#include "model/manifest.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vidorel {
namespace {
namespace fs = std::filesystem;
using testing::readFile;
using testing::takeOf;
using testing::TemporaryFolder;
using testing::writeFile;

// Everything in a folder tree with its contents, to compare before/after.
std::map<std::string, std::string> snapshot(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder))
    files[fs::relative(entry.path(), folder).string()] =
        entry.is_regular_file() ? readFile(entry.path()) : "<folder>";
  return files;
}

Task<void> runReconcile(SessionStore& store, Session session, std::optional<ReconcileResult>& out) {
  out = co_await store.reconcileTakeFiles(std::move(session));
}

class SessionStoreTest : public ::testing::Test {
protected:
  SessionStoreTest() : temp_("store"), store_(logger_, probe_) {
    logger_.addSink(log_);
    folder_ = temp_.path() / "6F9619FF-8B86-4011-B42D-00C04FC964FF";
    fs::create_directories(folder_ / "takes");
  }

  ReconcileResult reconcile(const Session& session) {
    std::optional<ReconcileResult> result;
    spawn(runReconcile(store_, session, result));
    EXPECT_TRUE(result.has_value());
    return result ? std::move(*result) : ReconcileResult{};
  }

  // A session of two scenes whose takes' files exist in the folder.
  Session sessionWithTakes() {
    Session session(folder_);
    session.scenes.push_back(RecordingScene::make());
    session.scenes[0].name = "Intro";
    session.scenes[0].takes = {takeOf("scene-1-take-1.mov", 10, 0, 10),
                               takeOf("scene-1-take-2.mov", 10, 2, 10)};
    session.scenes[0].selectedTakeID = session.scenes[0].takes[1].id;
    session.scenes[0].takes[1].name = "Best";
    session.scenes[1].takes = {takeOf("scene-2-take-1.mov", 4, 0.5, 3.5)};
    session.scenes[1].selectedTakeID = session.scenes[1].takes[0].id;
    session.currentSceneIndex = 1;
    testing::writeTakeFiles(session);
    return session;
  }

  TemporaryFolder temp_;
  fs::path folder_;
  Logger logger_;
  std::shared_ptr<RecordingLogSink> log_ = std::make_shared<RecordingLogSink>();
  FakeDurationProbe probe_;
  SessionStore store_;
};

// Every field of the session comes back, with the reader's folder.
TEST_F(SessionStoreTest, SaveWritesOneManifestThatLoadsBack) {
  Session session = sessionWithTakes();
  ASSERT_FALSE(store_.save(session));
  EXPECT_EQ(readFile(folder_ / "manifest.json"), *encodeManifest(SessionManifest(session)));
  Expected<Session, ManifestError> loaded = store_.load(folder_);
  ASSERT_TRUE(loaded) << loaded.error().description();
  EXPECT_EQ(*loaded, session);
  EXPECT_EQ(store_.save(Session(temp_.path() / "gone")), std::errc::no_such_file_or_directory);
}

// Validation before the write: the store never replaces a manifest that
// loads with one that does not, nor with one JSON cannot carry.
TEST_F(SessionStoreTest, SessionThatWouldNotLoadIsRefusedAndTheOldManifestKept) {
  Session session = sessionWithTakes();
  ASSERT_FALSE(store_.save(session));
  std::string old = readFile(folder_ / "manifest.json");
  Session broken = session;
  broken.scenes[1].takes[0].filename = "scene-1-take-1.mov";
  log_->clear();
  EXPECT_EQ(store_.save(broken), ManifestEncodingError::wouldNotLoad);
  ASSERT_EQ(log_->lines().size(), 1u);
  EXPECT_EQ(log_->lines()[0].level, LogLevel::error);
  EXPECT_EQ(log_->lines()[0].message,
            "refused to save manifest to 6F9619FF-8B86-4011-B42D-00C04FC964FF: Filename "
            "\"scene-1-take-1.mov\" is used by multiple takes.");
  broken = session;
  broken.scenes[0].takes[0].duration = std::numeric_limits<double>::infinity();
  EXPECT_EQ(store_.save(broken), ManifestEncodingError::numberNotFinite);
  EXPECT_EQ(readFile(folder_ / "manifest.json"), old);
  EXPECT_FALSE(fs::exists(folder_ / "manifest.json.tmp"));
}

// Unreadable names the file-system error; corrupt ends with the decoder's.
TEST_F(SessionStoreTest, UnreadableAndCorruptManifestsSayWhy) {
  std::string path = (folder_ / "manifest.json").string();
  Expected<Session, ManifestError> loaded = store_.load(folder_);
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error().kind, ManifestError::Kind::unreadable);
  EXPECT_EQ(loaded.error().description(),
            "Cannot read manifest.json at " + path + ". No such file or directory.");

  writeFile(folder_ / "manifest.json", "not json");
  loaded = store_.load(folder_);
  ASSERT_FALSE(loaded);
  EXPECT_EQ(loaded.error().kind, ManifestError::Kind::corrupt);
  EXPECT_TRUE(loaded.error().description().starts_with(
      "manifest.json at " + path +
      " is corrupt or has an unsupported format.\n\nThe data is not valid JSON: "))
      << loaded.error().description();
}

enum class TakeFile { movie, missing, pipe };

// Scene 1's selected take as stored, its file, what the probe reads from it
// and the take reconcile must give back.
struct ReconcileCase {
  const char* what;
  double duration, start, end;
  TakeFile file;
  std::optional<double> probed;
  double wantDuration, wantStart, wantEnd;
  const char* outcome; // "", "corrected", "missing" or "unreadable"
};

const ReconcileCase kReconcileCases[] = {
    {"exactly the tolerance apart", 0.1, 0, 0.1, TakeFile::movie, 0.2, 0.1, 0, 0.1, ""},
    {"just past the tolerance", 0.1, 0, 0.1, TakeFile::movie, 0.2000001, 0.2000001, 0, 0.1,
     "corrected"},
    {"shorter file cuts the range's end", 10, 2, 10, TakeFile::movie, 9.5, 9.5, 2, 9.5,
     "corrected"},
    {"longer file keeps the range", 4, 0.5, 3.5, TakeFile::movie, 6, 6, 0.5, 3.5, "corrected"},
    {"range starting at the new end becomes the whole file", 10, 4, 6, TakeFile::movie, 4, 4, 0, 4,
     "corrected"},
    {"a length of zero is no reading", 10, 2, 10, TakeFile::movie, 0, 10, 2, 10, "unreadable"},
    {"no reading", 10, 2, 10, TakeFile::movie, std::nullopt, 10, 2, 10, "unreadable"},
    {"a pipe is never handed to the probe", 10, 2, 10, TakeFile::pipe, 5, 10, 2, 10, "unreadable"},
    {"a missing file clears the selection", 10, 2, 10, TakeFile::missing, 10, 10, 2, 10, "missing"},
};

// Each case in a package, beside a scene 2 take that must come through as is.
TEST_F(SessionStoreTest, ReconcileTable) {
  for (const ReconcileCase& c : kReconcileCases) {
    SCOPED_TRACE(c.what);
    TemporaryFolder temp("reconcile");
    Session session(folder_);
    session.bundleURL = temp.path() / "Talk.vidorel";
    fs::create_directories(session.takesFolder());
    session.scenes.push_back(RecordingScene::make());
    session.scenes[0].takes = {takeOf("scene-1-take-1.mov", c.duration, c.start, c.end)};
    session.scenes[1].takes = {takeOf("scene-2-take-1.mov", 4, 0.5, 3.5)};
    for (RecordingScene& scene : session.scenes)
      scene.selectedTakeID = scene.takes[0].id;
    testing::writeTakeFiles(session);
    const Take& take = session.scenes[0].takes[0];
    fs::path file = session.takeFile(take), steady = session.takeFile(session.scenes[1].takes[0]);
    if (c.file != TakeFile::movie)
      fs::remove(file);
    if (c.file == TakeFile::pipe) {
      ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);
    }
    probe_.asked.clear();
    probe_.durations = {{"scene-2-take-1.mov", 4}};
    if (c.probed)
      probe_.durations[take.filename] = *c.probed;
    log_->clear();

    ReconcileResult result = reconcile(session);
    Take want = takeOf(take.filename, c.wantDuration, c.wantStart, c.wantEnd);
    want.id = take.id;
    EXPECT_EQ(result.session.scenes[0].takes, std::vector<Take>{want});
    EXPECT_EQ(result.session.scenes[1], session.scenes[1]);
    std::string outcome = c.outcome;
    EXPECT_EQ(result.corrected.size(), outcome == "corrected" ? 1u : 0u);
    EXPECT_EQ(result.missing.size(), outcome == "missing" ? 1u : 0u);
    EXPECT_EQ(result.session.scenes[0].selectedTakeID,
              outcome == "missing" ? std::nullopt : std::optional<Uuid>(take.id));
    std::vector<fs::path> asked = {file, steady};
    EXPECT_EQ(probe_.asked, c.file == TakeFile::movie ? asked : std::vector<fs::path>{steady});
    EXPECT_EQ(log_->messages(LogCategory::persistence),
              outcome == "unreadable"
                  ? std::vector<std::string>{"Could not read duration for " + file.string()}
                  : std::vector<std::string>{});
  }
}

TEST_F(SessionStoreTest, RecoveryScanReturnsEverySessionThatLoadsAndRemovesNothing) {
  fs::path root = temp_.path() / "Sessions";
  EXPECT_TRUE(store_.recoverableSessions(root).empty());
  fs::path valid = root / "A0000000-0000-4000-8000-000000000001";
  fs::path corrupt = root / "A0000000-0000-4000-8000-000000000002";
  fs::create_directories(valid);
  fs::create_directories(corrupt);
  Session session(valid);
  ASSERT_FALSE(store_.save(session));
  writeFile(corrupt / "manifest.json", "{\"schemaVersion\": ");
  writeFile(root / "notes.txt", "stray");
  log_->clear();

  EXPECT_EQ(store_.recoverableSessions(root), std::vector<Session>{session});
  std::vector<std::string> skipped = log_->messages(LogCategory::persistence);
  ASSERT_EQ(skipped.size(), 1u);
  EXPECT_TRUE(skipped[0].starts_with("recovery skips " + corrupt.string() + ": ")) << skipped[0];
  EXPECT_TRUE(fs::exists(corrupt / "manifest.json"));
}

// Files no take names (a crash before approval): those that play, newest
// first; nothing is removed.
TEST_F(SessionStoreTest, UnreviewedTakesAreUnnamedPlayableMoviesNewestFirst) {
  Session session = sessionWithTakes();
  fs::path takes = session.takesFolder();
  for (const char* name : {"scene-2-take-2.mov", "scene-1-take-3.mov", "scene-3-take-1.mov"})
    writeFile(takes / name, name);
  fs::create_directory(takes / "folder.mov");
  ASSERT_EQ(::mkfifo((takes / "scene-9-take-1.mov").c_str(), 0644), 0);
  probe_.durations = {{"scene-9-take-1.mov", 5},
                      {"scene-2-take-2.mov", 3.5},
                      {"scene-1-take-3.mov", 7.25},
                      {"folder.mov", 1}};
  auto now = fs::file_time_type::clock::now();
  fs::last_write_time(takes / "scene-2-take-2.mov", now - std::chrono::minutes(5));
  fs::last_write_time(takes / "scene-1-take-3.mov", now);

  std::vector<SessionStore::UnreviewedTake> found = store_.unreviewedTakes(session);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].filename, "scene-1-take-3.mov");
  EXPECT_DOUBLE_EQ(found[0].duration, 7.25);
  EXPECT_EQ(found[1].filename, "scene-2-take-2.mov");
  EXPECT_TRUE(fs::exists(takes / "scene-3-take-1.mov"));
}

TEST_F(SessionStoreTest, CopiesGetFreshUuidNamesOrNoneAtAll) {
  fs::path takes = folder_ / "takes";
  writeFile(takes / "a.mov", "first");
  writeFile(takes / "b.mov", "second");
  auto map = store_.copyTakeFiles({"a.mov", "b.mov", "a.mov"}, takes);
  ASSERT_TRUE(map) << map.error().message();
  ASSERT_EQ(map->size(), 2u);
  for (const auto& [old, copy] : *map) {
    std::optional<Uuid> id = Uuid::parse(copy.substr(0, copy.size() - 4));
    ASSERT_TRUE(id) << copy;
    EXPECT_EQ(id->string() + ".mov", copy);
    EXPECT_EQ(readFile(takes / copy), readFile(takes / old));
  }
  EXPECT_EQ(snapshot(takes).size(), 4u);

  // A failed copy removes the copies made; each is tried first in a child,
  // so that a regression waiting for a pipe's writer fails, not hangs.
  ASSERT_EQ(::mkfifo((takes / "pipe.mov").c_str(), 0644), 0);
  writeFile(folder_ / "outside.mov", "o");
  std::map<std::string, std::string> before = snapshot(folder_);
  const std::pair<std::vector<std::string>, std::error_code> cases[] = {
      {{"a.mov", "b.mov", "missing.mov"}, make_error_code(std::errc::no_such_file_or_directory)},
      {{"a.mov", "pipe.mov"}, make_error_code(FileError::notRegularFile)},
      {{"a.mov", "../outside.mov"}, make_error_code(std::errc::invalid_argument)},
  };
  for (const auto& [names, error] : cases) {
    SCOPED_TRACE(names.back());
    ASSERT_TRUE(testing::finishesWithin(20, [&] { return !store_.copyTakeFiles(names, takes); }));
    EXPECT_EQ(store_.copyTakeFiles(names, takes).error(), error);
    EXPECT_EQ(snapshot(folder_), before);
  }
}

// A writer killed while rewriting a take leaves a hidden copy; removed, but
// never while its writer is at work, nor the take or a look-alike.
TEST_F(SessionStoreTest, OnlyUnlockedCopiesOfTheWriterAreRemoved) {
  Session session(folder_);
  fs::path takes = session.takesFolder();
  const char* kept[] = {"take.mov", ".other.mov.finishing-Zz9yY8", "take.mov.finishing-a1B2c3",
                        ".take.mov.finishing-toolong"};
  for (const char* name : kept)
    writeFile(takes / name, name);
  writeFile(takes / ".take.mov.finishing-a1B2c3", "abandoned copy");
  int busy = ::open((takes / ".other.mov.finishing-Zz9yY8").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(busy, 0);
  ASSERT_EQ(::flock(busy, LOCK_EX), 0);

  EXPECT_EQ(store_.removeAbandonedTakeCopies(session), 1);
  EXPECT_FALSE(fs::exists(takes / ".take.mov.finishing-a1B2c3"));
  for (const char* name : kept)
    EXPECT_TRUE(fs::exists(takes / name)) << name;
  // Once its writer is gone (with its lock), it is abandoned too.
  ::close(busy);
  EXPECT_EQ(store_.removeAbandonedTakeCopies(session), 1);
  EXPECT_FALSE(fs::exists(takes / ".other.mov.finishing-Zz9yY8"));
}

} // namespace
} // namespace vidorel
