// The recorder and the whole app killed with SIGKILL at random instants:
// during a take, a save, a Save As to another file system and an export.
// After every kill the session must load, no approved take may be lost,
// the interrupted take must play and be offered for review with at most
// 1.5 s missing, and nothing outside the session may have changed.
//
// VIDOREL_TORTURE_RUNS sets the number of runs (5 by default, one of each
// kind; `make torture` asks for more) and VIDOREL_TORTURE_SEED the random
// instants (printed, so a failing run can be repeated).

#include "crash/crash_checks.h"
#include "support/running_app.h"

#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>

namespace {

namespace fs = std::filesystem;
using namespace vidorel::e2e;
using vidorel::formatString;
using vidorel::crash::CheckResult;
using vidorel::crash::checkSession;
using vidorel::crash::fileDigest;
using vidorel::crash::kTakeStartedLine;
using vidorel::crash::MovieReading;
using vidorel::crash::readMovie;
using vidorel::crash::RecorderProcess;
using vidorel::crash::snapshotTree;
using vidorel::crash::TreeSnapshot;

constexpr double kMostSecondsLost = 1.5;

enum class FaultKind { recorderTake, appTake, appSave, appSaveAs, appExport };

const char* describe(FaultKind kind) {
  switch (kind) {
  case FaultKind::recorderTake:
    return "vidorel record, during a take";
  case FaultKind::appTake:
    return "app, during a take";
  case FaultKind::appSave:
    return "app, during saves";
  case FaultKind::appSaveAs:
    return "app, during Save As to /dev/shm";
  case FaultKind::appExport:
    return "app, during an export";
  }
  return "?";
}

struct RunOutcome {
  FaultKind kind = FaultKind::recorderTake;
  double killedAfter = 0;
  bool interruptedTake = false;
  bool takeRecovered = false;
  std::optional<double> secondsLost;
  bool sessionUnopenable = false;
  int approvedTakesLost = 0;
  bool leftovers = false; // a hidden temporary file beside an export's destination
  std::string note;       // where the kill landed, as far as the files tell
};

int configuredRuns() {
  const char* text = std::getenv("VIDOREL_TORTURE_RUNS");
  int runs = text ? std::atoi(text) : 5;
  return runs > 0 ? runs : 5;
}

unsigned configuredSeed() {
  const char* text = std::getenv("VIDOREL_TORTURE_SEED");
  if (text)
    return static_cast<unsigned>(std::strtoul(text, nullptr, 10));
  return std::random_device{}();
}

double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

void sleepSeconds(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// The approved take as it must survive: its file name and bytes.
struct ApprovedTake {
  std::string filename;
  std::string digest;
};

// Whether a folder holds a manifest: a session that must load.
bool hasManifest(const fs::path& folder) {
  std::error_code error;
  return fs::exists(folder / "manifest.json", error);
}

bool manifestNames(const fs::path& session, const std::string& filename) {
  std::optional<vidorel::SessionManifest> manifest = readManifest(session);
  if (!manifest)
    return false;
  for (const auto& scene : manifest->scenes) {
    for (const auto& take : scene.takes) {
      if (take.filename == filename)
        return true;
    }
  }
  return false;
}

// The session folders a run may leave: the scratch folders, and a
// package (or a half-moved one) at the Save As destination.
std::vector<fs::path> sessionFolders(const fs::path& scratchRoot,
                                     const std::optional<fs::path>& package) {
  std::vector<fs::path> folders;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(scratchRoot, error)) {
    if (entry.is_directory(error))
      folders.push_back(entry.path());
  }
  if (package) {
    for (const auto& entry : fs::directory_iterator(package->parent_path(), error)) {
      if (entry.path().filename().string().starts_with(package->filename().string()))
        folders.push_back(entry.path());
    }
  }
  return folders;
}

// Checks that every folder holding a manifest loads, and that the approved
// take is named by at least one of them with its bytes unchanged.
void checkSessionsAfterKill(const std::vector<fs::path>& folders, const ApprovedTake& approved,
                            RunOutcome& outcome) {
  bool approvedFound = false;
  for (const fs::path& folder : folders) {
    if (!hasManifest(folder))
      continue;
    CheckResult check = checkSession(folder);
    EXPECT_TRUE(vidorel::crash::loads(check))
        << folder << " does not load (status " << check.status << "): " << check.err;
    if (!vidorel::crash::loads(check)) {
      outcome.sessionUnopenable = true;
      continue;
    }
    if (manifestNames(folder, approved.filename) &&
        fileDigest(folder / "takes" / approved.filename) == approved.digest)
      approvedFound = true;
  }
  EXPECT_TRUE(approvedFound) << "the approved take " << approved.filename
                             << " is in no session that loads";
  if (!approvedFound)
    outcome.approvedTakesLost = 1;
}

// The interrupted take: plays for both readers, is offered for review by
// `vidorel check`, and misses at most 1.5 s of what was recorded.
// Returns the take's duration as ffprobe reads it, or nothing when the
// kill came before the take's first fragment reached the disk: then the
// whole take is shorter than what may be lost, and there is nothing to
// offer (the file stays, unlisted, for the user to inspect).
std::optional<double> checkInterruptedTake(const fs::path& session, const std::string& filename,
                                           double recordedSeconds, RunOutcome& outcome) {
  outcome.interruptedTake = true;
  fs::path take = session / "takes" / filename;
  EXPECT_TRUE(fs::exists(take)) << take;
  MovieReading reading = readMovie(take);
  double lost = recordedSeconds - reading.duration;
  std::printf("    recorded %.2f s, the file holds %.2f s (GStreamer: %.2f s): %.2f s lost\n",
              recordedSeconds, reading.duration, reading.gstreamerDuration, lost);
  outcome.secondsLost = std::max(0.0, lost);
  if (!reading.plays() && recordedSeconds <= kMostSecondsLost) {
    std::printf("    killed before its first fragment was on disk: nothing to offer\n");
    EXPECT_TRUE(vidorel::crash::loadsWithOnlyUnreviewedTakes(checkSession(session)));
    return std::nullopt;
  }
  EXPECT_TRUE(reading.plays()) << reading.detail;
  EXPECT_LE(lost, kMostSecondsLost) << reading.detail;

  CheckResult check = checkSession(session);
  EXPECT_TRUE(vidorel::crash::loadsWithOnlyUnreviewedTakes(check))
      << "status " << check.status << "\n"
      << check.out << check.err;
  std::vector<std::string> offered = vidorel::crash::unreviewedTakes(check.out);
  bool listed = std::find(offered.begin(), offered.end(), filename) != offered.end();
  EXPECT_TRUE(listed) << "not under \"Unreviewed takes:\": " << check.out;
  outcome.takeRecovered = reading.plays() && listed && lost <= kMostSecondsLost;
  return reading.duration;
}

class KillRuns : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under scripts/desktop-env";
    root_ = vidorel::testing::makeTemporaryFolder("crash");
    char shmPattern[] = "/dev/shm/vidorel-crash.XXXXXX";
    char* shm = mkdtemp(shmPattern);
    ASSERT_NE(shm, nullptr);
    shmRoot_ = shm;
    picture_.emplace();
    // Bystanders: files the runs must never touch, one named like a take.
    for (const fs::path& place : {root_ / "outside", shmRoot_ / "outside"}) {
      fs::create_directories(place);
      std::ofstream(place / "notes.txt") << "not part of any session\n";
      std::ofstream(place / "scene-1-take-2.mov") << "not a take of any session\n";
    }
  }

  void TearDown() override {
    picture_.reset();
    if (::testing::Test::HasFailure()) {
      std::printf("kept: %s and %s\n", root_.c_str(), shmRoot_.c_str());
      return;
    }
    std::error_code ignored;
    fs::remove_all(root_, ignored);
    fs::remove_all(shmRoot_, ignored);
  }

  // Both roots, without the session folders, the Save As and export
  // destinations and the app's private folders.
  std::pair<TreeSnapshot, TreeSnapshot> outsideTheSession(const fs::path& run,
                                                          const std::vector<fs::path>& sessions,
                                                          const std::vector<fs::path>& targets) {
    auto skip = [&](const fs::path& base) {
      return [&, base](const fs::path& relative) {
        fs::path full = base / relative;
        std::string name = relative.filename().string();
        if (name.ends_with(".log"))
          return true;
        for (const fs::path& session : sessions) {
          if (full == session)
            return true;
        }
        // The destinations, and the hidden temporary an export writes
        // beside its movie (counted apart: a kill leaves it behind).
        for (const fs::path& target : targets) {
          std::string targetName = target.filename().string();
          if (full.parent_path() == target.parent_path() &&
              (name.starts_with(targetName) || name.starts_with("." + targetName)))
            return true;
        }
        return full == run / "runtime" || full == run / "config";
      };
    };
    return {snapshotTree(root_, skip(root_)), snapshotTree(shmRoot_, skip(shmRoot_))};
  }

  void expectNothingChangedOutside(const std::pair<TreeSnapshot, TreeSnapshot>& before,
                                   const std::pair<TreeSnapshot, TreeSnapshot>& after) {
    EXPECT_EQ(vidorel::crash::treeDifference(before.first, after.first), "")
        << "outside the session, under " << root_;
    EXPECT_EQ(vidorel::crash::treeDifference(before.second, after.second), "")
        << "outside the session, under " << shmRoot_;
  }

  void recorderTakeRun(const fs::path& run, std::mt19937& random, RunOutcome& outcome);
  void appRun(const fs::path& run, FaultKind kind, std::mt19937& random, RunOutcome& outcome);

  fs::path root_;
  fs::path shmRoot_;
  std::optional<vidorel::crash::MovingPicture> picture_;
};

// A session with one approved take, made by the recorder and a manifest
// written as the app writes it; then a second take killed mid-way.
void KillRuns::recorderTakeRun(const fs::path& run, std::mt19937& random, RunOutcome& outcome) {
  fs::path session = run / "session";
  fs::create_directories(session / "takes");
  {
    RecorderProcess first(session / "takes" / "scene-1-take-1.mov", 1.5);
    std::optional<int> status = first.waitForExit(30);
    ASSERT_EQ(status, 0) << first.output();
  }
  MovieReading firstReading = readMovie(session / "takes" / "scene-1-take-1.mov");
  ASSERT_TRUE(firstReading.plays()) << firstReading.detail;
  vidorel::Session made(session);
  vidorel::Take take = vidorel::Take::make(vidorel::Uuid::random(), "scene-1-take-1.mov",
                                           firstReading.duration, vidorel::currentTimestamp());
  made.scenes[0].takes = {take};
  made.scenes[0].selectedTakeID = take.id;
  auto bytes = vidorel::encodeManifest(vidorel::SessionManifest(made));
  ASSERT_TRUE(bytes);
  std::ofstream(session / "manifest.json") << *bytes;
  ASSERT_TRUE(vidorel::crash::loadsWithOnlyUnreviewedTakes(checkSession(session)));
  ApprovedTake approved{"scene-1-take-1.mov", fileDigest(session / "takes" / take.filename)};

  auto before = outsideTheSession(run, {session}, {});
  std::uniform_real_distribution<double> instant(0.5, 6.0);
  outcome.killedAfter = instant(random);
  RecorderProcess second(session / "takes" / "scene-1-take-2.mov", 60);
  std::optional<Clock::time_point> started = second.waitForLine(kTakeStartedLine, 20);
  ASSERT_TRUE(started) << second.output();
  std::this_thread::sleep_until(*started + std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(outcome.killedAfter)));
  Clock::time_point killedAt = Clock::now();
  second.killNow();

  checkSessionsAfterKill({session}, approved, outcome);
  checkInterruptedTake(session, "scene-1-take-2.mov", secondsBetween(*started, killedAt), outcome);
  // Repairs leave a take that waits for review where it is.
  std::string digest = fileDigest(session / "takes" / "scene-1-take-2.mov");
  CheckResult fixed = checkSession(session, true);
  EXPECT_TRUE(vidorel::crash::loads(fixed)) << fixed.out << fixed.err;
  EXPECT_EQ(fileDigest(session / "takes" / "scene-1-take-2.mov"), digest) << "check --fix";
  EXPECT_FALSE(manifestNames(session, "scene-1-take-2.mov")) << "check --fix approved it";
  expectNothingChangedOutside(before, outsideTheSession(run, {session}, {}));
}

// Clicks an entry of the tray menu; false when the menu does not show it.
// The menu is asked for twice: shown right after the start, it can close
// again before it is looked at.
bool chooseFromTheMenu(const RunningApp& app, const std::string& entry) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (app.ask("show-menu") != "ok")
      return false;
    if (std::optional<ScreenRect> place = waitForPart(app, "menu " + entry, 3)) {
      clickAt(place->centreX(), place->centreY());
      return true;
    }
    app.ask("hide-menu");
  }
  return false;
}

// Started again, the app offers the session in its menu, and resuming it
// offers the interrupted take for review with its whole length.
void expectOfferedForReview(const fs::path& run, double duration, RunOutcome& outcome) {
  RunningApp app(run, AppOptions{"app-after.log", std::nullopt, {}});
  ASSERT_TRUE(app.waitUntilAnswering()) << app.log();
  ASSERT_TRUE(app.waitFor("state?", "idle", 15)) << app.log();
  EXPECT_TRUE(chooseFromTheMenu(app, "Resume recording (1 scene)")) << app.ask("menu?");
  bool reviewing = app.waitFor("state?", "reviewing", 10);
  if (!reviewing)
    outcome.takeRecovered = false;
  ASSERT_TRUE(reviewing) << "the interrupted take is offered for review\n" << app.log();
  EXPECT_TRUE(app.waitFor("window? review", "open", 5));
  // The review window shows the whole take: its range ends at the
  // duration the file holds.
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (app.ask("review?") == "none" && Clock::now() < deadline)
    sleepSeconds(0.05);
  std::istringstream review(app.ask("review?"));
  std::string playing;
  double at = 0, trimStart = -1, trimEnd = -1;
  review >> playing >> at >> trimStart >> trimEnd;
  EXPECT_NEAR(trimEnd, duration, 0.25) << app.ask("review?");
}

// Polls (every millisecond) until the folder holds an entry whose name
// starts with one of the prefixes: the moment a move or an export begins
// writing. Returns when it saw one, or when the time ran out.
void waitForEntry(const fs::path& folder, const std::vector<std::string>& prefixes,
                  double seconds) {
  auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < deadline) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
      std::string name = entry.path().filename().string();
      for (const std::string& prefix : prefixes) {
        if (name.starts_with(prefix))
          return;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void typeIntoThePanel(const fs::path& file) {
  sleepSeconds(1.2);
  xdotool("key --clearmodifiers ctrl+a");
  xdotool("type --delay 20 '" + file.string() + "'");
  key("Return");
}

bool clickButton(const RunningApp& app, const std::string& text) {
  std::optional<ScreenRect> button = waitForPart(app, "button " + text, 5);
  if (!button)
    return false;
  clickAt(button->centreX(), button->centreY());
  return true;
}

void KillRuns::appRun(const fs::path& run, FaultKind kind, std::mt19937& random,
                      RunOutcome& outcome) {
  fs::create_directories(run);
  fs::path scratchRoot = run / "data" / "Vidorel" / "Sessions";
  fs::path session;
  ApprovedTake approved{"scene-1-take-1.mov", ""};
  std::optional<fs::path> package;
  std::optional<fs::path> movie;
  std::pair<TreeSnapshot, TreeSnapshot> before;
  std::optional<Clock::time_point> takeStarted;
  Clock::time_point killedAt;
  {
    // The countdown is checked elsewhere; here it only delays the take.
    RunningApp app(run, AppOptions{"app.log", std::nullopt, {{"VIDOREL_TEST_COUNTDOWN", "0"}}});
    ASSERT_TRUE(app.waitUntilAnswering()) << app.log();
    ASSERT_TRUE(app.waitFor("state?", "idle", 15)) << app.log();

    // Take 1, approved: the take that must never be lost.
    ASSERT_EQ(app.ask("new-recording"), "ok");
    ASSERT_TRUE(app.waitFor("state?", "recording", 15)) << app.log();
    sleepSeconds(2.0);
    ASSERT_EQ(app.ask("press endTake"), "ok");
    ASSERT_TRUE(app.waitFor("state?", "reviewing", 15)) << app.log();
    session = app.ask("session?");
    if (kind == FaultKind::appTake) {
      // Approving goes on to the next take's countdown; the take's time
      // zero is when its first frame is written (the log is read every
      // 10 ms), else when the app says it records.
      ASSERT_EQ(app.ask("press endTake"), "ok");
      takeStarted = vidorel::crash::waitForLogLines(app.logPath(), kTakeStartedLine, 2, 15);
      if (!takeStarted) {
        ASSERT_TRUE(app.waitFor("state?", "recording", 15)) << app.log();
        takeStarted = Clock::now();
      }
    } else {
      ASSERT_TRUE(clickButton(app, "Approve")) << app.log();
      ASSERT_TRUE(app.waitFor("state?", "idle", 5)) << app.log();
    }
    ASSERT_TRUE(waitForManifest(
        session,
        [](const vidorel::SessionManifest& m) {
          return m.scenes.size() == 1 && m.scenes[0].takes.size() == 1;
        },
        5))
        << "the approved take is saved";
    approved.digest = fileDigest(session / "takes" / approved.filename);

    if (kind == FaultKind::appExport) {
      // Export wants a package: saved beside the run's other files.
      ASSERT_TRUE(chooseFromTheMenu(app, "Save Recording As…")) << app.ask("menu?");
      typeIntoThePanel(run / "talk");
      ASSERT_TRUE(app.waitFor("session?", (run / "talk.vidorel").string(), 10)) << app.log();
      session = run / "talk.vidorel";
    }
    if (kind == FaultKind::appSaveAs)
      package = shmRoot_ / (run.filename().string() + ".vidorel");
    if (kind == FaultKind::appExport)
      movie = run / "final.mov";

    std::vector<fs::path> targets;
    if (package)
      targets.push_back(*package);
    if (movie)
      targets.push_back(*movie);
    before = outsideTheSession(run, sessionFolders(scratchRoot, std::nullopt), targets);
    if (kind == FaultKind::appExport)
      before = outsideTheSession(run, {session}, targets);

    switch (kind) {
    case FaultKind::appTake: {
      ASSERT_TRUE(app.waitFor("state?", "recording", 15)) << app.log();
      outcome.killedAfter = std::uniform_real_distribution<double>(0.5, 6.0)(random);
      std::this_thread::sleep_until(*takeStarted +
                                    std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(outcome.killedAfter)));
      break;
    }
    case FaultKind::appSave: {
      // Every new scene is saved at once: saves as fast as the app takes
      // them, killed at some point among them.
      outcome.killedAfter = std::uniform_real_distribution<double>(0.05, 1.0)(random);
      Clock::time_point until =
          Clock::now() + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double>(outcome.killedAfter));
      while (Clock::now() < until)
        app.send("press nextScene");
      break;
    }
    case FaultKind::appSaveAs: {
      ASSERT_TRUE(chooseFromTheMenu(app, "Save Recording As…")) << app.ask("menu?");
      typeIntoThePanel(package->parent_path() / package->stem());
      // Killed a moment after the copy begins, so that most kills land
      // during the move rather than before or after it.
      Clock::time_point typed = Clock::now();
      waitForEntry(package->parent_path(), {package->filename().string()}, 3);
      sleepSeconds(std::uniform_real_distribution<double>(0.0, 0.02)(random));
      outcome.killedAfter = secondsBetween(typed, Clock::now());
      break;
    }
    case FaultKind::appExport: {
      ASSERT_TRUE(chooseFromTheMenu(app, "Export Final Video…")) << app.ask("menu?");
      ASSERT_TRUE(app.waitFor("window? export", "open", 5)) << app.log();
      ASSERT_TRUE(clickButton(app, "Export Final Video (Ctrl+Shift+E)")) << app.log();
      typeIntoThePanel(*movie);
      Clock::time_point typed = Clock::now();
      waitForEntry(movie->parent_path(),
                   {"." + movie->filename().string(), movie->filename().string()}, 3);
      sleepSeconds(std::uniform_real_distribution<double>(0.0, 0.1)(random));
      outcome.killedAfter = secondsBetween(typed, Clock::now());
      break;
    }
    case FaultKind::recorderTake:
      break;
    }
    killedAt = Clock::now();
    app.killNow();
  }

  std::vector<fs::path> folders = sessionFolders(scratchRoot, package);
  if (kind == FaultKind::appExport)
    folders.push_back(session);
  checkSessionsAfterKill(folders, approved, outcome);

  if (kind == FaultKind::appTake) {
    std::optional<double> duration = checkInterruptedTake(
        session, "scene-1-take-2.mov", secondsBetween(*takeStarted, killedAt), outcome);
    // Started again, the app offers the session, and in it the take.
    if (duration)
      expectOfferedForReview(run, *duration, outcome);
  }
  if (kind == FaultKind::appSaveAs) {
    bool moved = hasManifest(*package);
    bool sourceLeft = !sessionFolders(scratchRoot, std::nullopt).empty();
    int partial = 0;
    for (const fs::path& folder : sessionFolders(scratchRoot, package))
      partial += folder.filename().string().find(".saving") != std::string::npos ? 1 : 0;
    outcome.note = moved ? (sourceLeft ? "copied, source not yet removed" : "moved")
                         : (partial > 0 ? "half moved" : "not moved yet");
  }
  if (kind == FaultKind::appSaveAs && !(package && hasManifest(*package))) {
    // Not moved yet (or half moved): the app finds the session again.
    RunningApp app(run, AppOptions{"app-after.log", std::nullopt, {}});
    ASSERT_TRUE(app.waitUntilAnswering()) << app.log();
    ASSERT_TRUE(app.waitFor("state?", "idle", 15)) << app.log();
    // The scan runs once the launch flow is through, a moment after the
    // app first answers.
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (app.ask("menu?").find("|Resume recording (1 scene)|") == std::string::npos &&
           Clock::now() < deadline)
      sleepSeconds(0.1);
    EXPECT_NE(app.ask("menu?").find("|Resume recording (1 scene)|"), std::string::npos)
        << "the session is offered for recovery: " << app.ask("menu?");
  }
  if (movie)
    outcome.note = fs::exists(*movie) ? "movie written" : "no movie yet";
  if (movie) {
    // The movie is written whole or not at all; a temporary beside it is
    // counted, not failed.
    if (fs::exists(*movie)) {
      EXPECT_TRUE(readMovie(*movie).plays()) << "a half-written " << *movie;
    }
    for (const auto& entry : fs::directory_iterator(movie->parent_path())) {
      std::string name = entry.path().filename().string();
      if (name.starts_with("." + movie->filename().string()))
        outcome.leftovers = true;
    }
  }
  std::vector<fs::path> targets;
  if (package)
    targets.push_back(*package);
  if (movie)
    targets.push_back(*movie);
  std::vector<fs::path> sessions = sessionFolders(scratchRoot, std::nullopt);
  if (kind == FaultKind::appExport)
    sessions = {session};
  expectNothingChangedOutside(before, outsideTheSession(run, sessions, targets));
}

void printTable(const std::vector<RunOutcome>& outcomes, unsigned seed) {
  std::vector<double> lost;
  int recovered = 0;
  int interrupted = 0;
  int unopenable = 0;
  int approvedLost = 0;
  int leftovers = 0;
  for (const RunOutcome& outcome : outcomes) {
    if (outcome.secondsLost)
      lost.push_back(*outcome.secondsLost);
    interrupted += outcome.interruptedTake ? 1 : 0;
    recovered += outcome.takeRecovered ? 1 : 0;
    unopenable += outcome.sessionUnopenable ? 1 : 0;
    approvedLost += outcome.approvedTakesLost;
    leftovers += outcome.leftovers ? 1 : 0;
  }
  double most = lost.empty() ? 0 : *std::max_element(lost.begin(), lost.end());
  std::printf("\nKill runs (seed %u)\n", seed);
  std::printf("| runs | takes recovered | seconds lost (median) | seconds lost (max) | sessions "
              "unopenable | approved takes lost |\n");
  std::printf("|---|---|---|---|---|---|\n");
  std::printf("| %zu | %d of %d | %.2f | %.2f | %d | %d |\n", outcomes.size(), recovered,
              interrupted, vidorel::crash::median(lost), most, unopenable, approvedLost);
  for (FaultKind kind : {FaultKind::recorderTake, FaultKind::appTake, FaultKind::appSave,
                         FaultKind::appSaveAs, FaultKind::appExport}) {
    int runs = 0;
    std::map<std::string, int> notes;
    for (const RunOutcome& outcome : outcomes) {
      if (outcome.kind != kind)
        continue;
      ++runs;
      if (!outcome.note.empty())
        ++notes[outcome.note];
    }
    std::string landed;
    for (const auto& [note, count] : notes)
      landed += (landed.empty() ? " (" : ", ") + note + ": " + std::to_string(count);
    std::printf("  %-36s %d runs%s\n", describe(kind), runs,
                landed.empty() ? "" : (landed + ")").c_str());
  }
  if (leftovers > 0)
    std::printf("  exports killed leaving their hidden temporary file beside the movie: %d\n",
                leftovers);
  std::fflush(stdout);
}

TEST_F(KillRuns, NoSessionIsLostAndTheInterruptedTakeIsOffered) {
  int runs = configuredRuns();
  unsigned seed = configuredSeed();
  std::printf("%d runs, seed %u (VIDOREL_TORTURE_SEED repeats them)\n", runs, seed);
  std::mt19937 random(seed);
  const FaultKind order[] = {FaultKind::recorderTake, FaultKind::appTake, FaultKind::appSave,
                             FaultKind::appSaveAs, FaultKind::appExport};
  std::vector<RunOutcome> outcomes;
  for (int index = 0; index < runs; ++index) {
    RunOutcome outcome;
    outcome.kind = order[index % 5];
    fs::path run = root_ / formatString("run-%d", index + 1);
    std::printf("run %d: %s\n", index + 1, describe(outcome.kind));
    std::fflush(stdout);
    {
      SCOPED_TRACE(formatString("run %d (%s)", index + 1, describe(outcome.kind)));
      if (outcome.kind == FaultKind::recorderTake)
        recorderTakeRun(run, random, outcome);
      else
        appRun(run, outcome.kind, random, outcome);
    }
    std::printf("    killed %.2f s in%s%s\n", outcome.killedAfter, outcome.note.empty() ? "" : ": ",
                outcome.note.c_str());
    outcomes.push_back(outcome);
  }
  printTable(outcomes, seed);
  int unopenable = 0;
  for (const RunOutcome& outcome : outcomes)
    unopenable += outcome.sessionUnopenable ? 1 : 0;
  EXPECT_EQ(unopenable, 0);
}

} // namespace
