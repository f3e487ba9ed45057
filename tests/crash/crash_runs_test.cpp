// SIGKILL at random instants (take, saves, Save As to another file system,
// export) and a full disk: sessions load, the approved take is kept byte for
// byte, the interrupted one plays and is offered, nothing outside changed.
// VIDOREL_TORTURE_RUNS (default 5, one per kind), VIDOREL_TORTURE_SEED.

#include "support/movie_tools.h"
#include "support/running_app.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <sys/stat.h>

namespace {

using namespace vidorel::e2e;
using vidorel::formatString;
using vidorel::testing::MovieReading;
using vidorel::testing::readMovie;
using vidorel::testing::shellQuoted;

constexpr double kMostSecondsLost = 1.5;
// What the take writer logs once a take's first frame is written: its time zero.
constexpr const char* kTakeStarted = "session started";
const std::string kTake1 = "scene-1-take-1.mov";
const std::string kTake2 = "scene-1-take-2.mov";

Clock::time_point secondsAfter(Clock::time_point from, double seconds) {
  return from + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

double secondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// `vidorel check FOLDER`: status (0 clean, 1 findings, else unreadable), report.
struct Check {
  int status = -1;
  std::string output;
  bool loads() const { return status == 0 || status == 1; }
  bool onlyUnreviewed() const {
    return status == 0 || (status == 1 && output.starts_with("Unreviewed takes:\n") &&
                           output.find("\n\n") == std::string::npos);
  }
  bool offersForReview(const std::string& take) const {
    return status == 1 && onlyUnreviewed() &&
           (output + "\n").find("\n" + take + "\n") != std::string::npos;
  }
};

Check check(const fs::path& folder, bool fix = false) {
  CommandResult run = vidorel::testing::runShellCommand(
      "timeout 30 " VIDOREL_BINARY " check " + shellQuoted(folder) + (fix ? " --fix" : ""));
  return {run.status, run.output};
}

std::string digest(const fs::path& file) {
  return vidorel::testing::commandOutput("md5sum " + shellQuoted(file) + " 2>/dev/null")
      .substr(0, 32);
}

bool manifestNames(const fs::path& session, const std::string& filename) {
  return vidorel::testing::readFile(session / "manifest.json").find('"' + filename + '"') !=
         std::string::npos;
}

// The entries of a folder whose names start with `prefix`.
std::vector<fs::path> entries(const fs::path& folder, const std::string& prefix = "") {
  std::vector<fs::path> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error))
    if (entry.path().filename().string().starts_with(prefix))
      found.push_back(entry.path());
  return found;
}

// Every entry under the roots but those `skip` names (and what they hold).
using Tree = std::set<std::string>;
Tree snapshot(const std::vector<fs::path>& roots,
              const std::function<bool(const fs::path&)>& skip) {
  Tree tree;
  for (const fs::path& root : roots) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
      struct stat info {};
      if (skip(it->path())) {
        it.disable_recursion_pending();
      } else if (lstat(it->path().c_str(), &info) == 0) {
        std::string line = it->path().string();
        if (S_ISLNK(info.st_mode))
          line += " -> " + fs::read_symlink(it->path(), error).string();
        else if (!S_ISDIR(info.st_mode))
          line += formatString(" %lld bytes, modified %ld.%09ld", (long long)info.st_size,
                               info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
        tree.insert(line);
      }
    }
  }
  return tree;
}

std::string changes(const Tree& before, const Tree& after) {
  std::string text;
  for (const std::string& entry : before)
    text += after.count(entry) ? "" : "was: " + entry + "\n";
  for (const std::string& entry : after)
    text += before.count(entry) ? "" : "now: " + entry + "\n";
  return text;
}

enum class FaultKind { recorderTake, appTake, appSave, appSaveAs, appExport };
const char* const kKindNames[] = {"vidorel record, during a take", "app, during a take",
                                  "app, during saves", "app, during Save As to /dev/shm",
                                  "app, during an export"};

struct RunOutcome {
  double killedAfter = 0;
  bool interruptedTake = false;
  bool takeRecovered = false;
  std::optional<double> secondsLost;
  bool sessionUnopenable = false;
  bool approvedTakeLost = false;
  bool leftovers = false; // a hidden temporary file beside an export's destination
  std::string note;       // where the kill landed, as far as the files tell
};

// Every session loads; one names the approved take, its bytes unchanged.
void checkSessions(const std::vector<fs::path>& folders, const std::string& approved,
                   RunOutcome& outcome) {
  bool kept = false;
  for (const fs::path& folder : folders) {
    if (!fs::exists(folder / "manifest.json"))
      continue;
    Check result = check(folder);
    EXPECT_TRUE(result.loads()) << folder << " does not load: " << result.output;
    outcome.sessionUnopenable |= !result.loads();
    kept |= result.loads() && manifestNames(folder, kTake1) &&
            digest(folder / "takes" / kTake1) == approved;
  }
  EXPECT_TRUE(kept) << "the approved take is in no session that loads";
  outcome.approvedTakeLost = !kept;
}

// The interrupted take plays for both readers, is offered by `vidorel check`
// and misses at most 1.5 s: its duration; nothing if killed before its first
// fragment reached the disk.
std::optional<double> checkInterruptedTake(const fs::path& session, double recordedSeconds,
                                           RunOutcome& outcome) {
  outcome.interruptedTake = true;
  MovieReading reading = readMovie(session / "takes" / kTake2);
  double lost = recordedSeconds - reading.duration;
  std::printf("    recorded %.2f s, the file holds %.2f s (GStreamer: %.2f s): %.2f s lost\n",
              recordedSeconds, reading.duration, reading.gstreamerDuration, lost);
  outcome.secondsLost = std::max(0.0, lost);
  if (!reading.plays() && recordedSeconds <= kMostSecondsLost) {
    std::printf("    killed before its first fragment was on disk: nothing to offer\n");
    EXPECT_TRUE(check(session).onlyUnreviewed());
    return std::nullopt;
  }
  EXPECT_TRUE(reading.plays()) << reading.detail;
  EXPECT_LE(lost, kMostSecondsLost) << reading.detail;
  Check result = check(session);
  EXPECT_TRUE(result.onlyUnreviewed()) << result.status << "\n" << result.output;
  bool listed = result.offersForReview(kTake2);
  EXPECT_TRUE(listed) << "not under \"Unreviewed takes:\": " << result.output;
  outcome.takeRecovered = reading.plays() && listed && lost <= kMostSecondsLost;
  return reading.duration;
}

// Restarted, the app offers the session; resumed, the interrupted take whole.
void restart(const fs::path& run, std::optional<double> takeDuration, RunOutcome& outcome) {
  RunningApp app(run, {.logName = "app-after.log"});
  ASSERT_TRUE(app.waitUntilIdle()) << app.log();
  // The scan runs once the launch flow is through, a moment after the app answers.
  EXPECT_TRUE(eventually(
      10,
      [&] { return app.ask("menu?").find("|Resume recording (1 scene)|") != std::string::npos; }))
      << "the session is offered for recovery: " << app.ask("menu?");
  if (!takeDuration)
    return;
  EXPECT_TRUE(chooseFromTheMenu(app, "Resume recording (1 scene)")) << app.ask("menu?");
  bool reviewing = app.waitFor("state?", "reviewing", 10);
  outcome.takeRecovered &= reviewing;
  ASSERT_TRUE(reviewing) << "the interrupted take is offered for review\n" << app.log();
  EXPECT_TRUE(app.waitFor("window? review", "open", 5));
  EXPECT_TRUE(eventually(5, [&] { return app.ask("review?") != "none"; }));
  // The range ends at the duration the file holds.
  std::istringstream review(app.ask("review?"));
  std::string playing;
  double at = 0, trimStart = -1, trimEnd = -1;
  review >> playing >> at >> trimStart >> trimEnd;
  EXPECT_NEAR(trimEnd, *takeDuration, 0.25) << app.ask("review?");
}

class DiskFull : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "run under scripts/desktop-env";
    root_ = vidorel::testing::makeTemporaryFolder("crash");
  }
  void TearDown() override {
    if (HasFailure())
      std::printf("kept: %s\n", root_.c_str());
    else
      fs::remove_all(root_);
  }
  fs::path root_;
};

// Writes failing with EFBIG: the take ends, the user is told, what was written plays.
TEST_F(DiskFull, TheAppStopsTheTakeAndSaysSo) {
  fs::path session;
  {
    // Microphone sound alone fills this in a few seconds on a still screen.
    RunningApp app(root_,
                   {.fileSizeLimit = 160 * 1024, .environment = {{"VIDOREL_TEST_COUNTDOWN", "0"}}});
    ASSERT_TRUE(app.waitUntilIdle()) << app.log();
    ASSERT_EQ(app.ask("new-recording"), "ok");
    ASSERT_TRUE(app.waitFor("state?", "recording", 15)) << app.log();
    session = app.ask("session?");
    ASSERT_TRUE(eventually(
        60, [&] { return app.ask("alert?") != "none"; }, 100))
        << app.log();
    EXPECT_TRUE(app.ask("alert?").starts_with("Recording stopped")) << app.ask("alert?");
    EXPECT_NE(app.ask("state?"), "recording");
    // Dismissed, the take is offered for review like any other.
    key("Return");
    EXPECT_TRUE(app.waitFor("state?", "reviewing", 10)) << app.log();
  }
  MovieReading reading = readMovie(session / "takes" / kTake1);
  EXPECT_TRUE(reading.plays()) << reading.detail;
  EXPECT_GT(reading.duration, 1.0) << reading.detail;
}

class KillRuns : public DiskFull {
protected:
  void SetUp() override {
    DiskFull::SetUp();
    char shmPattern[] = "/dev/shm/vidorel-crash.XXXXXX";
    ASSERT_NE(mkdtemp(shmPattern), nullptr);
    shmRoot_ = shmPattern;
    // Moving pictures (lower left, away from the tray menu) for the takes.
    picture_ = fork();
    if (picture_ == 0) {
      if (!freopen("/dev/null", "w", stderr))
        _exit(126);
      execlp("ffplay", "ffplay", "-loglevel", "quiet", "-an", "-noborder", "-left", "0", "-top",
             "360", "-f", "lavfi", "-i", "testsrc2=size=640x360:rate=15", nullptr);
      _exit(127);
    }
    // Bystanders the runs must never touch, one named like a take.
    for (const fs::path& place : {root_ / "outside", shmRoot_ / "outside"}) {
      fs::create_directories(place);
      vidorel::testing::writeFile(place / "notes.txt", "not part of any session\n");
      vidorel::testing::writeFile(place / kTake2, "not a take of any session\n");
    }
  }

  void TearDown() override {
    if (picture_ > 0 && kill(picture_, SIGTERM) == 0)
      waitpid(picture_, nullptr, 0);
    if (HasFailure())
      std::printf("kept: %s\n", shmRoot_.c_str());
    else
      fs::remove_all(shmRoot_);
    DiskFull::TearDown();
  }

  // Both roots but logs, private folders, sessions and destinations (with an
  // export's hidden temporary, counted apart).
  Tree outside(const fs::path& run, const fs::path& session, const std::vector<fs::path>& targets) {
    return snapshot({root_, shmRoot_}, [&](const fs::path& path) {
      std::string name = path.filename().string();
      bool target = std::any_of(targets.begin(), targets.end(), [&](const fs::path& t) {
        return path.parent_path() == t.parent_path() &&
               (name.starts_with(t.filename().string()) ||
                name.starts_with("." + t.filename().string()));
      });
      return target || name.ends_with(".log") || path == session || path == run / "runtime" ||
             path == run / "config" || path.parent_path() == run / "data/Vidorel/Sessions";
    });
  }

  void recorderTakeRun(const fs::path& run, std::mt19937& random, RunOutcome& outcome);
  void appRun(const fs::path& run, FaultKind kind, std::mt19937& random, RunOutcome& outcome);

  fs::path shmRoot_;
  pid_t picture_ = -1;
};

// One approved take by `vidorel record`, then a second killed mid-way.
void KillRuns::recorderTakeRun(const fs::path& run, std::mt19937& random, RunOutcome& outcome) {
  fs::path session = run / "session";
  fs::create_directories(session / "takes");
  auto record = [&](const std::string& take, const char* seconds) {
    return std::make_unique<RunningApp>(
        run, AppOptions{.logName = take + ".log",
                        .testControl = false,
                        .arguments = {"record", (session / "takes" / take).string(), "--seconds",
                                      seconds}});
  };
  ASSERT_EQ(record(kTake1, "1.5")->waitForExit(30), 0);
  MovieReading first = readMovie(session / "takes" / kTake1);
  ASSERT_TRUE(first.plays()) << first.detail;
  vidorel::Session made(session);
  vidorel::Take take = vidorel::Take::make(vidorel::Uuid::random(), kTake1, first.duration,
                                           vidorel::currentTimestamp());
  made.scenes[0].takes = {take};
  made.scenes[0].selectedTakeID = take.id;
  auto bytes = vidorel::encodeManifest(vidorel::SessionManifest(made));
  ASSERT_TRUE(bytes);
  vidorel::testing::writeFile(session / "manifest.json", *bytes);
  ASSERT_TRUE(check(session).onlyUnreviewed());
  std::string approved = digest(session / "takes" / kTake1);

  Tree before = outside(run, session, {});
  outcome.killedAfter = std::uniform_real_distribution(0.5, 6.0)(random);
  std::unique_ptr<RunningApp> second = record(kTake2, "60");
  std::optional<Clock::time_point> started = second->waitForLog(kTakeStarted, 1, 20);
  ASSERT_TRUE(started) << second->log();
  std::this_thread::sleep_until(secondsAfter(*started, outcome.killedAfter));
  Clock::time_point killedAt = Clock::now();
  second->killNow();

  checkSessions({session}, approved, outcome);
  checkInterruptedTake(session, secondsBetween(*started, killedAt), outcome);
  // Repairs leave a take that waits for review where it is.
  std::string interrupted = digest(session / "takes" / kTake2);
  Check fixed = check(session, true);
  EXPECT_TRUE(fixed.loads()) << fixed.output;
  EXPECT_EQ(digest(session / "takes" / kTake2), interrupted) << "check --fix";
  EXPECT_FALSE(manifestNames(session, kTake2)) << "check --fix approved it";
  EXPECT_EQ(changes(before, outside(run, session, {})), "");
}

void KillRuns::appRun(const fs::path& run, FaultKind kind, std::mt19937& random,
                      RunOutcome& outcome) {
  fs::path scratch = run / "data/Vidorel/Sessions";
  auto instant = [&](double from, double to) {
    return std::uniform_real_distribution(from, to)(random);
  };
  std::string approved; // the digest of the approved take, which must never be lost
  fs::path session;
  std::optional<fs::path> package, movie;
  std::vector<fs::path> targets;
  Tree before;
  Clock::time_point takeStarted, begun, killedAt;
  {
    // The countdown is checked in the walk; here it would only delay takes.
    RunningApp app(run, {.environment = {{"VIDOREL_TEST_COUNTDOWN", "0"}}});
    ASSERT_TRUE(app.waitUntilIdle()) << app.log();
    // Take 1, approved: the take that must never be lost.
    ASSERT_EQ(app.ask("new-recording"), "ok");
    ASSERT_TRUE(app.waitFor("state?", "recording", 15)) << app.log();
    sleepSeconds(2);
    ASSERT_EQ(app.ask("press endTake"), "ok");
    ASSERT_TRUE(app.waitFor("state?", "reviewing", 15)) << app.log();
    session = app.ask("session?");
    if (kind == FaultKind::appTake) {
      // Approving goes on to take 2, from its first frame written.
      ASSERT_EQ(app.ask("press endTake"), "ok");
      takeStarted = app.waitForLog(kTakeStarted, 2, 15).value_or(Clock::now());
      ASSERT_TRUE(app.waitFor("state?", "recording", 15)) << app.log();
    } else {
      ASSERT_TRUE(click(app, "button Approve")) << app.log();
      ASSERT_TRUE(app.waitFor("state?", "idle", 5)) << app.log();
    }
    ASSERT_TRUE(waitForManifest(session, [](const vidorel::SessionManifest& m) {
      return m.scenes.size() == 1 && m.scenes[0].takes.size() == 1;
    })) << "the approved take is saved";
    approved = digest(session / "takes" / kTake1);
    if (kind == FaultKind::appExport) {
      // Export wants a package: saved beside the run's other files.
      ASSERT_TRUE(chooseFromTheMenu(app, "Save Recording As…")) << app.ask("menu?");
      typeIntoThePanel(run / "talk");
      session = run / "talk.vidorel";
      ASSERT_TRUE(app.waitFor("session?", session.string(), 10)) << app.log();
      targets = {*(movie = run / "final.mov")};
    }
    if (kind == FaultKind::appSaveAs)
      targets = {*(package = shmRoot_ / (run.filename().string() + ".vidorel"))};
    before = outside(run, session, targets);
    // Returns once the copy or export has begun writing the destination.
    auto waitForWriting = [&](const fs::path& file) {
      begun = Clock::now();
      std::string name = file.filename().string();
      eventually(
          3,
          [&] {
            return !entries(file.parent_path(), name).empty() ||
                   !entries(file.parent_path(), "." + name).empty();
          },
          1);
    };

    switch (kind) {
    case FaultKind::appTake:
      outcome.killedAfter = instant(0.5, 6.0);
      std::this_thread::sleep_until(secondsAfter(takeStarted, outcome.killedAfter));
      break;
    case FaultKind::appSave: {
      // Every new scene is saved at once: saves as fast as the app takes them.
      outcome.killedAfter = instant(0.05, 1.0);
      Clock::time_point until = secondsAfter(Clock::now(), outcome.killedAfter);
      while (Clock::now() < until)
        app.send("press nextScene");
      break;
    }
    case FaultKind::appSaveAs:
      ASSERT_TRUE(chooseFromTheMenu(app, "Save Recording As…")) << app.ask("menu?");
      typeIntoThePanel(package->parent_path() / package->stem());
      // Killed a moment after the copy begins: most kills land during the move.
      waitForWriting(*package);
      sleepSeconds(instant(0.0, 0.02));
      outcome.killedAfter = secondsBetween(begun, Clock::now());
      break;
    case FaultKind::appExport:
      ASSERT_TRUE(chooseFromTheMenu(app, "Export Final Video…")) << app.ask("menu?");
      ASSERT_TRUE(app.waitFor("window? export", "open", 5)) << app.log();
      ASSERT_TRUE(click(app, "button Export Final Video (Ctrl+Shift+E)")) << app.log();
      typeIntoThePanel(*movie);
      waitForWriting(*movie);
      sleepSeconds(instant(0.0, 0.1));
      outcome.killedAfter = secondsBetween(begun, Clock::now());
      break;
    case FaultKind::recorderTake:
      break;
    }
    killedAt = Clock::now();
    app.killNow();
  }

  std::vector<fs::path> folders = entries(scratch);
  if (package) {
    std::vector<fs::path> moved = entries(package->parent_path(), package->filename().string());
    folders.insert(folders.end(), moved.begin(), moved.end());
  }
  if (movie)
    folders.push_back(session);
  checkSessions(folders, approved, outcome);

  if (kind == FaultKind::appTake) {
    if (std::optional<double> duration =
            checkInterruptedTake(session, secondsBetween(takeStarted, killedAt), outcome))
      restart(run, duration, outcome);
  }
  if (package) {
    // Not moved yet (or half moved): the app finds the session again.
    bool moved = fs::exists(*package / "manifest.json");
    outcome.note = moved ? "moved" : "not moved yet";
    if (!moved)
      restart(run, std::nullopt, outcome);
  }
  if (movie) {
    // Whole or not at all; a temporary beside it is counted, not failed.
    outcome.note = fs::exists(*movie) ? "movie written" : "no movie yet";
    EXPECT_TRUE(!fs::exists(*movie) || readMovie(*movie).plays()) << "a half-written " << *movie;
    outcome.leftovers = !entries(run, "." + movie->filename().string()).empty();
  }
  EXPECT_EQ(changes(before, outside(run, session, targets)), "") << "outside the session";
}

void printTable(const std::vector<RunOutcome>& outcomes, unsigned seed) {
  std::vector<double> lost;
  int recovered = 0, interrupted = 0, unopenable = 0, approvedLost = 0, leftovers = 0;
  for (const RunOutcome& outcome : outcomes) {
    if (outcome.secondsLost)
      lost.push_back(*outcome.secondsLost);
    interrupted += outcome.interruptedTake;
    recovered += outcome.takeRecovered;
    unopenable += outcome.sessionUnopenable;
    approvedLost += outcome.approvedTakeLost;
    leftovers += outcome.leftovers;
  }
  std::sort(lost.begin(), lost.end());
  size_t middle = lost.size() / 2;
  double median = lost.empty()      ? 0
                  : lost.size() % 2 ? lost[middle]
                                    : (lost[middle - 1] + lost[middle]) / 2;
  std::printf("\nKill runs (seed %u)\n| runs | takes recovered | seconds lost (median) | seconds "
              "lost (max) | sessions unopenable | approved takes lost | exports leaving a "
              "temporary |\n|---|---|---|---|---|---|---|\n| %zu | %d of %d | %.2f | %.2f | %d | "
              "%d | %d |\n",
              seed, outcomes.size(), recovered, interrupted, median, lost.empty() ? 0 : lost.back(),
              unopenable, approvedLost, leftovers);
  std::fflush(stdout);
}

TEST_F(KillRuns, NoSessionIsLostAndTheInterruptedTakeIsOffered) {
  const char* runsText = std::getenv("VIDOREL_TORTURE_RUNS");
  const char* seedText = std::getenv("VIDOREL_TORTURE_SEED");
  int runs = std::max(runsText ? std::atoi(runsText) : 5, 1);
  unsigned seed = seedText ? std::strtoul(seedText, nullptr, 10) : std::random_device{}();
  std::printf("%d runs, seed %u (VIDOREL_TORTURE_SEED repeats them)\n", runs, seed);
  std::mt19937 random(seed);
  std::vector<RunOutcome> outcomes;
  for (int index = 0; index < runs; ++index) {
    RunOutcome outcome;
    FaultKind fault = FaultKind(index % 5);
    const char* kind = kKindNames[index % 5];
    std::printf("run %d: %s\n", index + 1, kind);
    std::fflush(stdout);
    {
      SCOPED_TRACE(formatString("run %d (%s)", index + 1, kind));
      fs::path run = root_ / formatString("run-%d", index + 1);
      if (fault == FaultKind::recorderTake)
        recorderTakeRun(run, random, outcome);
      else
        appRun(run, fault, random, outcome);
    }
    std::printf("    killed %.2f s in%s%s\n", outcome.killedAfter, outcome.note.empty() ? "" : ": ",
                outcome.note.c_str());
    outcomes.push_back(outcome);
  }
  printTable(outcomes, seed);
}

} // namespace
