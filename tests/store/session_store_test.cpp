#include "store/session_store.h"

#include "base/files.h"
#include "fakes/fake_duration_probe.h"
#include "fakes/session_builder.h"
#include "model/manifest.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <sys/stat.h>

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
    session.createdAt = *parseIso8601("2026-03-01T09:30:00Z");
    session.scenes.push_back(RecordingScene::make());
    session.scenes[0].name = "Intro";
    session.scenes[0].takes = {takeOf("scene-1-take-1.mov", 10, 0, 10),
                               takeOf("scene-1-take-2.mov", 10, 2, 10)};
    session.scenes[0].selectedTakeID = session.scenes[0].takes[1].id;
    session.scenes[1].takes = {takeOf("scene-2-take-1.mov", 4, 0.5, 3.5)};
    session.scenes[1].selectedTakeID = session.scenes[1].takes[0].id;
    session.currentSceneIndex = 1;
    for (const RecordingScene& scene : session.scenes)
      for (const Take& take : scene.takes)
        writeFile(session.takeFile(take), "movie " + take.filename);
    return session;
  }

  TemporaryFolder temp_;
  fs::path folder_;
  Logger logger_;
  std::shared_ptr<RecordingLogSink> log_ = std::make_shared<RecordingLogSink>();
  FakeDurationProbe probe_;
  SessionStore store_;
};

// ---------------------------------------------------------------------------
// Save and load

TEST_F(SessionStoreTest, SaveWritesOneManifestThatLoadsBack) {
  Session session = sessionWithTakes();
  session.isDirty = true;
  Session before = session;
  ASSERT_FALSE(store_.save(session));
  EXPECT_EQ(session, before);
  EXPECT_EQ(log_->messages(LogCategory::persistence),
            std::vector<std::string>{"saved manifest to 6F9619FF-8B86-4011-B42D-00C04FC964FF"});
  EXPECT_EQ(log_->lines().at(0).level, LogLevel::info);
  std::string first = readFile(folder_ / "manifest.json");
  EXPECT_EQ(first, *encodeManifest(SessionManifest(session)));

  // A temporary left by a crash is ignored by load and replaced by save.
  writeFile(folder_ / "manifest.json.tmp", "{ half a manifest");
  Expected<Session, ManifestError> loaded = store_.load(folder_);
  ASSERT_TRUE(loaded) << loaded.error().description();
  session.isDirty = false;
  EXPECT_EQ(*loaded, session);
  ASSERT_FALSE(store_.save(session));
  EXPECT_EQ(readFile(folder_ / "manifest.json"), first);
  std::vector<std::string> entries;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder_))
    entries.push_back(entry.path().filename().string());
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"manifest.json", "takes"}));
}

TEST_F(SessionStoreTest, FailedSaveKeepsTheOldManifest) {
  Session session = sessionWithTakes();
  ASSERT_FALSE(store_.save(session));
  std::string old = readFile(folder_ / "manifest.json");
  log_->clear();

  // Something in the way of the temporary file.
  fs::create_directory(folder_ / "manifest.json.tmp");
  session.scenes[0].name = "Changed";
  std::error_code error = store_.save(session);
  EXPECT_EQ(error, std::errc::is_a_directory);
  EXPECT_EQ(readFile(folder_ / "manifest.json"), old);
  EXPECT_TRUE(log_->lines().empty());
  fs::remove(folder_ / "manifest.json.tmp");

  // A session JSON cannot carry.
  session.scenes[0].takes[0].duration = std::numeric_limits<double>::infinity();
  EXPECT_EQ(store_.save(session), ManifestEncodingError::numberNotFinite);
  EXPECT_EQ(readFile(folder_ / "manifest.json"), old);
  EXPECT_FALSE(fs::exists(folder_ / "manifest.json.tmp"));

  Session elsewhere(temp_.path() / "gone");
  EXPECT_EQ(store_.save(elsewhere), std::errc::no_such_file_or_directory);
}

// Validation before the write: the store never replaces a manifest that
// loads with one that does not.
TEST_F(SessionStoreTest, SessionThatWouldNotLoadIsRefusedAndTheOldManifestKept) {
  Session session = sessionWithTakes();
  ASSERT_FALSE(store_.save(session));
  std::string old = readFile(folder_ / "manifest.json");

  struct Case {
    const char* what;
    std::function<void(Session&)> breakIt;
    std::string reason;
  };
  std::vector<Case> cases = {
      {"a take of no length",
       [](Session& s) {
         Take& take = s.scenes[1].takes[0];
         take.duration = take.trimStart = take.trimEnd = 0;
       },
       "Take \"scene-2-take-1.mov\" duration 0 is not a positive number of seconds."},
      {"a file name used twice",
       [](Session& s) { s.scenes[1].takes[0].filename = "scene-1-take-1.mov"; },
       "Filename \"scene-1-take-1.mov\" is used by multiple takes."},
      {"a selection naming no take of the scene",
       [](Session& s) { s.scenes[1].selectedTakeID = s.scenes[0].takes[0].id; },
       "Scene 2 selectedTakeID " + session.scenes[0].takes[0].id.string() +
           " does not match any take."},
      {"a current scene out of range", [](Session& s) { s.currentSceneIndex = 2; },
       "currentSceneIndex 2 is out of range (0..<2)."},
      {"no scenes", [](Session& s) { s.scenes.clear(); }, "Session has no scenes."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Session broken = session;
    c.breakIt(broken);
    log_->clear();
    EXPECT_EQ(store_.save(broken), ManifestEncodingError::wouldNotLoad);
    EXPECT_EQ(readFile(folder_ / "manifest.json"), old);
    EXPECT_FALSE(fs::exists(folder_ / "manifest.json.tmp"));
    ASSERT_EQ(log_->lines().size(), 1u);
    EXPECT_EQ(log_->lines()[0].level, LogLevel::error);
    EXPECT_EQ(log_->lines()[0].category, LogCategory::persistence);
    EXPECT_EQ(log_->lines()[0].message,
              "refused to save manifest to 6F9619FF-8B86-4011-B42D-00C04FC964FF: " + c.reason);
  }
  EXPECT_TRUE(store_.load(folder_));
}

TEST_F(SessionStoreTest, MissingManifestOrAFolderInItsPlaceIsUnreadable) {
  fs::path path = folder_ / "manifest.json";
  for (bool folder : {false, true}) {
    if (folder)
      fs::create_directory(path);
    Expected<Session, ManifestError> loaded = store_.load(folder_);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().kind, ManifestError::Kind::unreadable);
    EXPECT_EQ(loaded.error().path, path.string());
    EXPECT_EQ(loaded.error().description(),
              "Cannot read manifest.json at " + path.string() + ". " +
                  (folder ? "Not a regular file." : "No such file or directory."));
  }
}

// A manifest that does not decode or validate is corrupt; the description
// ends with the decoder's or the validation's own text (a crafted file name
// among them).
TEST_F(SessionStoreTest, UndecodableOrInvalidManifestIsCorruptWithTheReasonLast) {
  SessionManifest wrongVersion(sessionWithTakes());
  wrongVersion.schemaVersion = 2;
  SessionManifest crafted(sessionWithTakes());
  crafted.scenes[0].takes[0].filename = "../../../victim.mov";
  const std::pair<std::string, std::string> cases[] = {
      {R"({"schemaVersion": 1, "createdAt": "2026-03-01T09:30:00Z",
          "currentSceneIndex": 0, "scenes": []})",
       "Missing key \"sessionID\"."},
      {"not json", "The data is not valid JSON: "},
      {*encodeManifest(wrongVersion), "Unsupported schema version 2 (expected 1)."},
      {*encodeManifest(crafted), "Take \"../../../victim.mov\" is not a plain file name."},
  };
  std::string path = (folder_ / "manifest.json").string();
  for (const auto& [bytes, reason] : cases) {
    SCOPED_TRACE(reason);
    writeFile(folder_ / "manifest.json", bytes);
    Expected<Session, ManifestError> loaded = store_.load(folder_);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.error().kind, ManifestError::Kind::corrupt);
    std::string expected =
        "manifest.json at " + path + " is corrupt or has an unsupported format.\n\n" + reason;
    // The JSON parser's own text follows its prefix.
    if (reason.ends_with(": ")) {
      EXPECT_TRUE(loaded.error().description().starts_with(expected))
          << loaded.error().description();
    } else {
      EXPECT_EQ(loaded.error().description(), expected);
    }
  }
}

// ---------------------------------------------------------------------------
// Reconcile

enum class TakeFile { movie, missing, pipe };

// One take of scene 1 (its selection) as stored, its file and what the
// probe reads from it, and the take that reconcile must give back.
struct ReconcileCase {
  const char* what;
  double duration, start, end;
  TakeFile file;
  std::optional<double> probed;
  double wantDuration, wantStart, wantEnd;
  const char* outcome; // "", "corrected", "missing" or "unreadable"
};

const ReconcileCase kReconcileCases[] = {
    {"longer within the tolerance", 10, 0, 10, TakeFile::movie, 10.08, 10, 0, 10, ""},
    {"shorter within the tolerance", 10, 2, 10, TakeFile::movie, 9.95, 10, 2, 10, ""},
    {"exactly the tolerance apart", 0.1, 0, 0.1, TakeFile::movie, 0.2, 0.1, 0, 0.1, ""},
    {"just past the tolerance", 0.1, 0, 0.1, TakeFile::movie, 0.2000001, 0.2000001, 0, 0.1,
     "corrected"},
    {"shorter file, whole range", 10, 0, 10, TakeFile::movie, 9.5, 9.5, 0, 9.5, "corrected"},
    {"shorter file cuts the range's end", 10, 2, 10, TakeFile::movie, 9.5, 9.5, 2, 9.5,
     "corrected"},
    {"longer file keeps the range", 4, 0.5, 3.5, TakeFile::movie, 6, 6, 0.5, 3.5, "corrected"},
    {"range starting past the new end becomes the whole file", 10, 9.8, 10, TakeFile::movie, 9.5,
     9.5, 0, 9.5, "corrected"},
    {"range starting at the new end becomes the whole file", 10, 4, 6, TakeFile::movie, 4, 4, 0, 4,
     "corrected"},
    {"a length of zero is no reading", 10, 2, 10, TakeFile::movie, 0, 10, 2, 10, "unreadable"},
    {"a negative length is no reading", 10, 2, 10, TakeFile::movie, -3, 10, 2, 10, "unreadable"},
    {"no reading", 10, 2, 10, TakeFile::movie, std::nullopt, 10, 2, 10, "unreadable"},
    {"a pipe is never handed to the probe", 10, 2, 10, TakeFile::pipe, 5, 10, 2, 10, "unreadable"},
    {"a missing file clears the selection", 10, 2, 10, TakeFile::missing, 10, 10, 2, 10, "missing"},
};

// Each case in a package, beside a take of scene 2 whose file agrees with
// it: that take and its selection come through untouched, the files are
// looked up in the package, and the result saves and loads again.
TEST_F(SessionStoreTest, ReconcileTable) {
  for (const ReconcileCase& c : kReconcileCases) {
    SCOPED_TRACE(c.what);
    TemporaryFolder temp("reconcile");
    fs::path package = temp.path() / "Talk.vidorel";
    fs::create_directories(package / "takes");
    Session session(folder_);
    session.bundleURL = package;
    session.scenes.push_back(RecordingScene::make());
    Take take = takeOf("scene-1-take-1.mov", c.duration, c.start, c.end);
    Take steady = takeOf("scene-2-take-1.mov", 4, 0.5, 3.5);
    session.scenes[0].takes = {take};
    session.scenes[0].selectedTakeID = take.id;
    session.scenes[1].takes = {steady};
    session.scenes[1].selectedTakeID = steady.id;
    fs::path file = session.takeFile(take);
    if (c.file == TakeFile::movie)
      writeFile(file, "movie");
    if (c.file == TakeFile::pipe) {
      ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);
    }
    writeFile(session.takeFile(steady), "movie");
    probe_.asked.clear();
    probe_.durations = {{"scene-2-take-1.mov", 4}};
    if (c.probed)
      probe_.durations[take.filename] = *c.probed;
    log_->clear();

    ReconcileResult result = reconcile(session);
    Take want = take;
    want.duration = c.wantDuration;
    want.trimStart = c.wantStart;
    want.trimEnd = c.wantEnd;
    EXPECT_EQ(result.session.scenes[0].takes, std::vector<Take>{want});
    EXPECT_EQ(result.session.scenes[1], session.scenes[1]);
    std::string outcome = c.outcome;
    EXPECT_EQ(result.corrected.size(), outcome == "corrected" ? 1u : 0u);
    EXPECT_EQ(result.missing.size(), outcome == "missing" ? 1u : 0u);
    EXPECT_EQ(result.session.scenes[0].selectedTakeID,
              outcome == "missing" ? std::nullopt : std::optional<Uuid>(take.id));
    std::vector<fs::path> asked = {session.takeFile(steady)};
    if (c.file == TakeFile::movie)
      asked.insert(asked.begin(), file);
    EXPECT_EQ(probe_.asked, asked);
    std::vector<std::string> errors;
    if (outcome == "unreadable")
      errors.push_back("Could not read duration for " + file.string());
    EXPECT_EQ(log_->messages(LogCategory::persistence), errors);

    ASSERT_FALSE(store_.save(result.session));
    Expected<Session, ManifestError> loaded = store_.load(package, package);
    ASSERT_TRUE(loaded) << loaded.error().description();
    EXPECT_EQ(loaded->scenes, result.session.scenes);
  }
}

TEST(IssueReport, SectionsAndSeparators) {
  EXPECT_EQ(SessionStore::issueReport({}, {}), "");
  EXPECT_EQ(SessionStore::issueReport({"a.mov"}, {"b.mov"}),
            "Missing files:\na.mov\n\nDuration corrected for:\nb.mov");
  EXPECT_EQ(SessionStore::issueReport({"a.mov", "c.mov"}, {}), "Missing files:\na.mov\nc.mov");
  EXPECT_EQ(SessionStore::issueReport({}, {"b.mov"}), "Duration corrected for:\nb.mov");
}

// ---------------------------------------------------------------------------
// Recovery scan

TEST_F(SessionStoreTest, RecoveryScanReturnsEverySessionThatLoadsAndRemovesNothing) {
  fs::path root = temp_.path() / "Sessions";
  EXPECT_TRUE(store_.recoverableSessions(root).empty());
  writeFile(temp_.path() / "file", "x");
  EXPECT_TRUE(store_.recoverableSessions(temp_.path() / "file").empty());

  fs::path valid = root / "A0000000-0000-4000-8000-000000000001";
  fs::path empty = root / "A0000000-0000-4000-8000-000000000002";
  fs::path corrupt = root / "A0000000-0000-4000-8000-000000000003";
  fs::path invalid = root / "A0000000-0000-4000-8000-000000000004";
  fs::path other = root / "A0000000-0000-4000-8000-000000000005";
  for (const fs::path& folder : {valid, empty, corrupt, invalid, other})
    fs::create_directories(folder / "takes");
  Session session(valid);
  session.createdAt = *parseIso8601("2026-03-01T09:30:00Z");
  ASSERT_FALSE(store_.save(session));
  Session second(other);
  ASSERT_FALSE(store_.save(second));
  writeFile(corrupt / "manifest.json", "{\"schemaVersion\": ");
  SessionManifest badIndex(session);
  badIndex.currentSceneIndex = 7;
  writeFile(invalid / "manifest.json", *encodeManifest(badIndex));
  writeFile(root / ".DS_Store", "stray");
  writeFile(root / "notes.txt", "stray");
  log_->clear();

  std::vector<Session> found = store_.recoverableSessions(root);
  ASSERT_EQ(found.size(), 2u);
  std::sort(found.begin(), found.end(),
            [](const Session& a, const Session& b) { return a.scratchURL < b.scratchURL; });
  EXPECT_EQ(found[0], session);
  EXPECT_EQ(found[0].scratchURL, valid);
  EXPECT_FALSE(found[0].bundleURL);
  EXPECT_EQ(found[1].id, second.id);
  std::vector<std::string> skipped = log_->messages(LogCategory::persistence);
  std::sort(skipped.begin(), skipped.end());
  ASSERT_EQ(skipped.size(), 2u);
  EXPECT_TRUE(skipped[0].starts_with("recovery skips " + corrupt.string() + ": ")) << skipped[0];
  EXPECT_EQ(skipped[1], "recovery skips " + invalid.string() +
                            ": currentSceneIndex 7 is out of range (0..<1).");
  // Nothing skipped is removed.
  EXPECT_TRUE(fs::exists(corrupt / "manifest.json"));
  EXPECT_TRUE(fs::exists(empty));
  EXPECT_TRUE(fs::exists(root / "notes.txt"));
}

// ---------------------------------------------------------------------------
// Copies for duplication

// A crash between writing a take and approving it leaves a file that no
// take names; only those that play are offered, newest first.
TEST_F(SessionStoreTest, UnreviewedTakesAreUnnamedPlayableMoviesNewestFirst) {
  Session session = sessionWithTakes();
  for (const RecordingScene& scene : session.scenes)
    for (const Take& take : scene.takes)
      probe_.durations[take.filename] = take.duration;
  fs::path takes = session.takesFolder();
  writeFile(takes / "scene-2-take-2.mov", "older");
  writeFile(takes / "scene-1-take-3.mov", "newer");
  writeFile(takes / "scene-3-take-1.mov", "no index yet");
  writeFile(takes / "notes.txt", "not a movie");
  writeFile(takes / "scene-4-take-1.mov", "zero length");
  fs::create_directory(takes / "folder.mov");
  ASSERT_EQ(::mkfifo((takes / "scene-9-take-1.mov").c_str(), 0644), 0);
  probe_.durations["scene-9-take-1.mov"] = 5;
  probe_.durations["scene-2-take-2.mov"] = 3.5;
  probe_.durations["scene-1-take-3.mov"] = 7.25;
  probe_.durations["scene-4-take-1.mov"] = 0;
  probe_.durations["notes.txt"] = 1;
  auto now = fs::file_time_type::clock::now();
  fs::last_write_time(takes / "scene-2-take-2.mov", now - std::chrono::minutes(5));
  fs::last_write_time(takes / "scene-1-take-3.mov", now);

  std::vector<SessionStore::UnreviewedTake> found = store_.unreviewedTakes(session);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].filename, "scene-1-take-3.mov");
  EXPECT_DOUBLE_EQ(found[0].duration, 7.25);
  EXPECT_EQ(found[1].filename, "scene-2-take-2.mov");
  EXPECT_DOUBLE_EQ(found[1].duration, 3.5);
  // Nothing was removed: the unplayable file is kept for inspection.
  EXPECT_TRUE(fs::exists(takes / "scene-3-take-1.mov"));
  // Opening a pipe would wait for a writer that never comes.
  for (const fs::path& asked : probe_.asked)
    EXPECT_NE(asked.filename(), "scene-9-take-1.mov");
}

TEST_F(SessionStoreTest, CopiesGetFreshUuidNamesAndTheSameBytes) {
  fs::path takes = folder_ / "takes";
  writeFile(takes / "scene-1-take-1.mov", "first");
  writeFile(takes / "scene-1-take-2.mov", "second");
  Expected<std::map<std::string, std::string>, std::error_code> map =
      store_.copyTakeFiles({"scene-1-take-1.mov", "scene-1-take-2.mov"}, takes);
  ASSERT_TRUE(map) << map.error().message();
  ASSERT_EQ(map->size(), 2u);
  for (const auto& [old, copy] : *map) {
    ASSERT_TRUE(copy.ends_with(".mov"));
    std::optional<Uuid> id = Uuid::parse(copy.substr(0, copy.size() - 4));
    ASSERT_TRUE(id) << copy;
    EXPECT_EQ(id->string() + ".mov", copy); // upper-case
    EXPECT_EQ(readFile(takes / copy), readFile(takes / old));
  }
  EXPECT_NE(map->at("scene-1-take-1.mov"), map->at("scene-1-take-2.mov"));
  EXPECT_EQ(readFile(takes / "scene-1-take-1.mov"), "first");
  EXPECT_EQ(snapshot(takes).size(), 4u);

  // A name listed twice is copied once; no names, no copies.
  map = store_.copyTakeFiles({"scene-1-take-1.mov", "scene-1-take-1.mov"}, takes);
  ASSERT_TRUE(map);
  EXPECT_EQ(map->size(), 1u);
  EXPECT_EQ(snapshot(takes).size(), 5u);
  map = store_.copyTakeFiles({}, takes);
  ASSERT_TRUE(map);
  EXPECT_TRUE(map->empty());
}

// A copy that fails after some files were copied removes those copies.
// Each is tried first in a child process, so that a regression that waits
// for a pipe's writer fails instead of hanging, then here.
TEST_F(SessionStoreTest, FailedCopyLeavesTheFolderAsBefore) {
  fs::path takes = folder_ / "takes";
  writeFile(takes / "a.mov", "a");
  writeFile(takes / "b.mov", "b");
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
    Expected<std::map<std::string, std::string>, std::error_code> map =
        store_.copyTakeFiles(names, takes);
    ASSERT_FALSE(map);
    EXPECT_EQ(map.error(), error);
    EXPECT_EQ(snapshot(folder_), before);
  }
}

} // namespace
} // namespace vidorel
