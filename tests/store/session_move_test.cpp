#include "store/session_move.h"

#include "fakes/fake_duration_probe.h"
#include "store/session_store.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace vidorel {
namespace {
namespace fs = std::filesystem;
using testing::readFile;
using testing::TemporaryFolder;
using testing::writeFile;

const char* stepName(SessionMoveStep step) {
  switch (step) {
  case SessionMoveStep::copied:
    return "copied";
  case SessionMoveStep::replacedSetAside:
    return "replacedSetAside";
  case SessionMoveStep::placed:
    return "placed";
  case SessionMoveStep::sourceUnlisted:
    return "sourceUnlisted";
  }
  return "?";
}

// A scratch root holding one session with two approved takes, and a folder
// to save packages into, on the file system of the temporary folder or on
// another one.
class SessionMoveTest : public ::testing::Test {
protected:
  SessionMoveTest() : temp_("move"), store_(logger_, probe_) {
    root_ = temp_.path() / "Sessions";
    out_ = temp_.path() / "Out";
    fs::create_directories(out_);
  }

  // A fresh scratch session; returns it as saved.
  Session makeScratchSession() {
    fs::path folder = root_ / Uuid::random().string();
    fs::create_directories(folder / "takes");
    Session session(folder);
    Timestamp now = currentTimestamp();
    session.scenes.push_back(RecordingScene::make());
    for (int i = 0; i < 2; ++i) {
      Take take =
          Take::make(Uuid::random(), "scene-" + std::to_string(i + 1) + "-take-1.mov", 4 + i, now);
      session.scenes[i].takes = {take};
      session.scenes[i].selectedTakeID = take.id;
      writeFile(session.takeFile(take), std::string(200000 + i, static_cast<char>('a' + i)));
    }
    EXPECT_FALSE(store_.save(session));
    return session;
  }

  // An existing package at the destination, holding another session.
  void makeOldPackage(const fs::path& package) {
    fs::create_directories(package / "takes");
    Session old(package);
    old.bundleURL = package;
    Take take = Take::make(Uuid::random(), "scene-1-take-1.mov", 2, currentTimestamp());
    old.scenes[0].takes = {take};
    writeFile(old.takeFile(take), "old package take");
    EXPECT_FALSE(store_.save(old));
    oldPackageID_ = old.id;
  }

  // The session is whole in folder: its manifest loads to the same scenes
  // and every approved take's bytes are there.
  ::testing::AssertionResult wholeIn(const fs::path& folder, const Session& expected,
                                     const std::optional<fs::path>& bundle) {
    Expected<Session, ManifestError> loaded = store_.load(folder, bundle);
    if (!loaded)
      return ::testing::AssertionFailure() << loaded.error().description();
    if (loaded->id != expected.id || loaded->scenes != expected.scenes)
      return ::testing::AssertionFailure() << "another session in " << folder;
    for (const RecordingScene& scene : expected.scenes)
      for (const Take& take : scene.takes)
        if (readFile(loaded->takeFile(take)) != readFile(expected.takeFile(take)))
          return ::testing::AssertionFailure() << take.filename << " differs in " << folder;
    return ::testing::AssertionSuccess();
  }

  // After a crash: where the session can still be reached.
  ::testing::AssertionResult recoverable(const Session& reference, const fs::path& destination) {
    for (const Session& found : store_.recoverableSessions(root_))
      if (found.id == reference.id && wholeIn(found.scratchURL, reference, std::nullopt))
        return ::testing::AssertionSuccess() << "found by the recovery scan";
    if (wholeIn(destination, reference, destination))
      return ::testing::AssertionSuccess() << "whole at the destination";
    return ::testing::AssertionFailure() << "neither recoverable nor at the destination";
  }

  // Reference copies of the take bytes, kept outside the folders a move
  // touches.
  Session keepReference(const Session& session) {
    fs::path folder = temp_.path() / ("reference-" + session.id.string());
    fs::copy(session.scratchURL, folder, fs::copy_options::recursive);
    Session reference = session;
    reference.scratchURL = folder;
    return reference;
  }

  TemporaryFolder temp_;
  fs::path root_, out_;
  Logger logger_;
  FakeDurationProbe probe_;
  SessionStore store_;
  Uuid oldPackageID_;
};

TEST_F(SessionMoveTest, ReplacingAPackageLeavesNothingOfItBehind) {
  for (bool copy : {false, true}) {
    SCOPED_TRACE(copy ? "copying" : "renaming");
    Session session = makeScratchSession();
    Session reference = keepReference(session);
    fs::path destination = out_ / (copy ? "Copied.vidorel" : "Renamed.vidorel");
    makeOldPackage(destination);
    SessionMoveOptions options;
    options.alwaysCopy = copy;
    ASSERT_FALSE(placeSessionFolder(session.scratchURL, destination, options));
    EXPECT_TRUE(wholeIn(destination, reference, destination));
    EXPECT_FALSE(fs::exists(session.scratchURL));
  }
  std::vector<std::string> entries;
  for (const fs::directory_entry& entry : fs::directory_iterator(out_))
    entries.push_back(entry.path().filename().string());
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"Copied.vidorel", "Renamed.vidorel"}));
  EXPECT_TRUE(store_.recoverableSessions(root_).empty());
}

TEST_F(SessionMoveTest, FailedCopyLeavesSourceAndOldPackageAsTheyWere) {
  Session session = makeScratchSession();
  Session reference = keepReference(session);
  fs::path destination = out_ / "Talk.vidorel";
  makeOldPackage(destination);
  SessionMoveOptions options;
  options.alwaysCopy = true;
  // A write limit below the size of a take stands for a full disk.
  EXPECT_TRUE(testing::finishesWithin(20, [&] {
    testing::limitFileSize(100000);
    return placeSessionFolder(session.scratchURL, destination, options) ==
           std::errc::file_too_large;
  }));
  EXPECT_TRUE(wholeIn(session.scratchURL, reference, std::nullopt));
  Expected<Session, ManifestError> old = store_.load(destination, destination);
  ASSERT_TRUE(old);
  EXPECT_EQ(old->id, oldPackageID_);
  EXPECT_EQ(std::distance(fs::directory_iterator(out_), fs::directory_iterator()), 1);
}

// Every instant at which a Save As can be cut short, by either road (one
// rename, or a copy as across file systems), with and without a package to
// replace: the session is either still found by the recovery scan or whole
// at its destination, and no approved take is lost. Where a road has no
// such step the move runs through (a plain rename among them).
TEST_F(SessionMoveTest, InterruptedAtAnyStepTheSessionIsRecoverableOrSaved) {
  const SessionMoveStep steps[] = {SessionMoveStep::copied, SessionMoveStep::replacedSetAside,
                                   SessionMoveStep::placed, SessionMoveStep::sourceUnlisted};
  int interruptions = 0;
  for (bool copy : {false, true})
    for (bool replacing : {false, true})
      for (SessionMoveStep stop : steps) {
        SCOPED_TRACE(std::string(copy ? "copy" : "rename") + (replacing ? ", replacing" : "") +
                     ", stopped after " + stepName(stop));
        Session session = makeScratchSession();
        Session reference = keepReference(session);
        fs::path destination = out_ / (Uuid::random().string() + ".vidorel");
        if (replacing)
          makeOldPackage(destination);
        SessionMoveOptions options;
        options.alwaysCopy = copy;
        bool stopped = false;
        options.proceed = [&](SessionMoveStep step) {
          stopped = step == stop;
          return !stopped;
        };
        std::error_code error = placeSessionFolder(session.scratchURL, destination, options);
        if (!stopped) {
          // This road has no such step: the move runs to its end, and
          // leaves nothing of the source or of a replaced package behind.
          EXPECT_FALSE(error) << error.message();
          EXPECT_TRUE(wholeIn(destination, reference, destination));
          EXPECT_FALSE(fs::exists(session.scratchURL));
          EXPECT_TRUE(store_.recoverableSessions(root_).empty());
          for (const fs::directory_entry& entry : fs::directory_iterator(out_))
            EXPECT_TRUE(
                entry.path() == destination ||
                !entry.path().filename().string().starts_with(destination.filename().string()))
                << entry.path();
          continue;
        }
        ++interruptions;
        EXPECT_EQ(error, std::errc::interrupted);
        EXPECT_TRUE(recoverable(reference, destination));
        // What was at the destination is gone only when the session is
        // there instead.
        if (replacing && !wholeIn(destination, reference, destination)) {
          bool oldKept = false;
          for (const fs::directory_entry& entry : fs::directory_iterator(out_)) {
            Expected<Session, ManifestError> old = store_.load(entry.path(), entry.path());
            oldKept = oldKept || (old && old->id == oldPackageID_);
          }
          EXPECT_TRUE(oldKept);
        }
        // Cleared for the next round, so the scan sees one session at most.
        fs::remove_all(root_);
      }
  // Renaming: placed, and the aside when replacing; copying: copied,
  // placed, unlisted, and the aside when replacing.
  EXPECT_EQ(interruptions, 1 + 2 + 3 + 4);
}

} // namespace
} // namespace vidorel
