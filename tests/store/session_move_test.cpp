#include "store/session_move.h"

#include "fakes/fake_duration_probe.h"
#include "fakes/session_builder.h"
#include "store/session_store.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

namespace vidorel {
namespace {
namespace fs = std::filesystem;
using testing::readFile;
using testing::TemporaryFolder;

// A scratch root of sessions, and a folder to save packages into.
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
    session.scenes.push_back(RecordingScene::make());
    session.scenes[0].takes = {testing::takeOf("scene-1-take-1.mov", 4, 0, 4)};
    session.scenes[1].takes = {testing::takeOf("scene-2-take-1.mov", 5, 1, 5)};
    session.scenes[1].selectedTakeID = session.scenes[1].takes[0].id;
    testing::writeTakeFiles(session);
    EXPECT_FALSE(store_.save(session));
    return session;
  }

  // An existing package at the destination, holding another session.
  void makeOldPackage(const fs::path& package) {
    fs::create_directories(package / "takes");
    Session old(package);
    old.bundleURL = package;
    old.scenes[0].takes = {testing::takeOf("scene-1-take-9.mov", 2, 0, 2)};
    testing::writeTakeFiles(old);
    EXPECT_FALSE(store_.save(old));
    oldPackageID_ = old.id;
  }

  // The manifest in folder loads to the same scenes, every take's bytes there.
  ::testing::AssertionResult wholeIn(const fs::path& folder, const Session& expected,
                                     const std::optional<fs::path>& bundle) {
    Expected<Session, ManifestError> loaded = store_.load(folder, bundle);
    if (!loaded)
      return ::testing::AssertionFailure() << loaded.error().description();
    if (loaded->id != expected.id || loaded->scenes != expected.scenes)
      return ::testing::AssertionFailure() << "another session in " << folder;
    for (const RecordingScene& scene : expected.scenes)
      for (const Take& take : scene.takes)
        if (readFile(loaded->takeFile(take)) != "movie " + take.filename)
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

  TemporaryFolder temp_;
  fs::path root_, out_;
  Logger logger_;
  FakeDurationProbe probe_;
  SessionStore store_;
  Uuid oldPackageID_;
};

// A Save As cut short at any step, by rename or by copy, replacing a package
// or not: the session is recoverable or whole at its destination.
TEST_F(SessionMoveTest, InterruptedAtAnyStepTheSessionIsRecoverableOrSaved) {
  const std::pair<SessionMoveStep, const char*> steps[] = {
      {SessionMoveStep::copied, "copied"},
      {SessionMoveStep::replacedSetAside, "set aside"},
      {SessionMoveStep::placed, "placed"},
      {SessionMoveStep::sourceUnlisted, "unlisted"}};
  int interruptions = 0;
  for (bool copy : {false, true})
    for (bool replacing : {false, true})
      for (auto [stop, stepName] : steps) {
        SCOPED_TRACE(std::string(copy ? "copy" : "rename") + (replacing ? ", replacing" : "") +
                     ", stopped after " + stepName);
        Session session = makeScratchSession();
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
          // No such step on this road: the move runs through, leaving nothing.
          EXPECT_FALSE(error) << error.message();
          EXPECT_TRUE(wholeIn(destination, session, destination));
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
        EXPECT_TRUE(recoverable(session, destination));
        // The old package goes only when the session is there instead.
        if (replacing && !wholeIn(destination, session, destination)) {
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
  // Rename: placed (+ aside); copy: copied, placed, unlisted (+ aside).
  EXPECT_EQ(interruptions, 1 + 2 + 3 + 4);
}

} // namespace
} // namespace vidorel
