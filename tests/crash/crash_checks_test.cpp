// The crash runs' own judges: a report that lists more than unreviewed
// takes must not pass as "loads", and a change outside the session must
// not go unseen.

#include "crash/crash_checks.h"

#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

namespace {

using namespace vidorel::crash;

TEST(CrashChecks, ReadsTheSectionsOfACheckReport) {
  std::string report =
      "Missing files:\nscene-1-take-1.mov\n\nUnreviewed takes:\nscene-2-take-3.mov\n"
      "scene-1-take-2.mov\n";
  EXPECT_EQ(reportSections(report),
            (std::vector<std::string>{"Missing files:", "Unreviewed takes:"}));
  EXPECT_EQ(unreviewedTakes(report),
            (std::vector<std::string>{"scene-2-take-3.mov", "scene-1-take-2.mov"}));
  EXPECT_TRUE(unreviewedTakes("Missing files:\nscene-1-take-1.mov\n").empty());

  EXPECT_FALSE(loadsWithOnlyUnreviewedTakes({1, report, ""}));
  EXPECT_TRUE(loadsWithOnlyUnreviewedTakes({1, "Unreviewed takes:\nscene-1-take-2.mov\n", ""}));
  EXPECT_TRUE(loadsWithOnlyUnreviewedTakes({0, "1 scene, 1 take\n", ""}));
  EXPECT_FALSE(loadsWithOnlyUnreviewedTakes({1, "", ""})) << "issues found but none named";
  EXPECT_FALSE(loadsWithOnlyUnreviewedTakes({2, "", "Cannot read manifest.json"}));
  EXPECT_FALSE(loadsWithOnlyUnreviewedTakes({124, "", ""})) << "a check that hangs";
  EXPECT_TRUE(loads({1, report, ""}));
  EXPECT_FALSE(loads({2, "", ""}));
}

TEST(CrashChecks, SeesEveryChangeOutsideWhatItSkips) {
  char pattern[] = "/tmp/vidorel-crash-checks.XXXXXX";
  fs::path root = mkdtemp(pattern);
  fs::create_directories(root / "session" / "takes");
  fs::create_directories(root / "outside");
  std::ofstream(root / "outside" / "a.txt") << "a";
  std::ofstream(root / "outside" / "b.txt") << "b";
  auto skip = [](const fs::path& relative) { return relative == "session"; };
  TreeSnapshot before = snapshotTree(root, skip);
  EXPECT_EQ(treeDifference(before, snapshotTree(root, skip)), "");

  std::ofstream(root / "session" / "takes" / "new.mov") << "inside";
  EXPECT_EQ(treeDifference(before, snapshotTree(root, skip)), "") << "inside the session";

  std::ofstream(root / "outside" / "a.txt", std::ios::app) << "longer";
  fs::remove(root / "outside" / "b.txt");
  fs::create_symlink("a.txt", root / "outside" / "link");
  std::string difference = treeDifference(before, snapshotTree(root, skip));
  EXPECT_NE(difference.find("changed: outside/a.txt"), std::string::npos) << difference;
  EXPECT_NE(difference.find("removed: outside/b.txt"), std::string::npos) << difference;
  EXPECT_NE(difference.find("added: outside/link (link to a.txt)"), std::string::npos)
      << difference;
  fs::remove_all(root);
}

TEST(CrashChecks, MedianOfOddAndEvenCounts) {
  EXPECT_EQ(median({}), 0);
  EXPECT_EQ(median({3, 1, 2}), 2);
  EXPECT_EQ(median({4, 1, 3, 2}), 2.5);
}

} // namespace
