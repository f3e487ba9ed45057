// The record command: a take of a chosen screen (the test screen split into
// two RandR 1.5 monitors, each half a colour of its own), its report, and
// its failures.

#include "base/format.h"
#include "fakes/shell_command.h"
#include "support/movie_tools.h"
#include "support/temporary_folder.h"
#include "support/two_monitors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

namespace vidorel {
namespace {

using testing::CommandResult;
using testing::runShellCommand;

// Runs the vidorel executable; standard output and error as one text.
CommandResult vidorel(const std::string& arguments, const std::string& environment = "") {
  return runShellCommand(environment + " '" VIDOREL_BINARY "' " + arguments);
}

TEST(RecordCommandTest, ATakeOfTheSecondMonitorShowsOnlyIt) {
  testing::TwoMonitors monitors;
  CommandResult listed = vidorel("record --list-screens");
  ASSERT_EQ(listed.status, 0) << listed.output;
  EXPECT_NE(listed.output.find(
                formatString("RIGHT %dx%d+%d+0\n", monitors.half, monitors.height, monitors.half)),
            std::string::npos)
      << "the X server keeps no RandR 1.5 monitors? " << listed.output;
  EXPECT_NE(listed.output.find(" (default)\n"), std::string::npos) << listed.output;

  testing::TemporaryFolder folder("record");
  std::filesystem::path take = folder.path() / "take.mov";
  CommandResult recorded = vidorel("record '" + take.string() + "' --seconds 1 --screen RIGHT");
  ASSERT_EQ(recorded.status, 0) << recorded.output;
  // It reports the take on its last line.
  double duration = 0;
  int frames = 0, dropped = 0;
  ASSERT_EQ(std::sscanf(recorded.output.c_str() + recorded.output.rfind('\n') + 1,
                        "duration=%lf frames=%d dropped=%d", &duration, &frames, &dropped),
            3)
      << recorded.output;
  EXPECT_NEAR(duration, 1.0, 0.3);
  EXPECT_GE(frames, 1);
  // The microphone's tone from within 50 ms of the start.
  std::vector<short> samples = testing::decodedAudio(take);
  EXPECT_LT(std::find_if(samples.begin(), samples.end(),
                         [](short sample) { return std::abs(sample) > 1000; }) -
                samples.begin(),
            48 * 50);
  testing::ShownMovie shown = testing::showWithFfmpeg(take);
  EXPECT_EQ(shown.width, monitors.half);
  EXPECT_EQ(shown.height, monitors.height);
  ASSERT_FALSE(shown.frames.empty());
  // Green throughout (BT.709 luma 173; red would be 63), but where the
  // pointer is drawn.
  int pixels = shown.width * shown.height;
  EXPECT_GT(std::count_if(shown.frames.back().begin(), shown.frames.back().begin() + pixels,
                          [](unsigned char luma) { return std::abs(luma - 173) <= 4; }),
            pixels * 98 / 100);
}

TEST(RecordCommandTest, FailuresAreToldAndLeaveNoFile) {
  testing::TemporaryFolder temporary("record");
  const std::filesystem::path& folder = temporary.path();
  struct Case {
    std::string arguments, environment, message;
  };
  const Case cases[] = {
      {"x.mov --seconds 1", "DISPLAY=:1999", "No display is available to record."},
      {"x.mov --seconds 1", "PULSE_SERVER=unix:/nonexistent/native", "No microphone is available."},
      {"no/x.mov --seconds 1", "", "couldn't be created"},
  };
  for (const Case& c : cases) {
    CommandResult result = vidorel("record " + (folder / c.arguments).string(), c.environment);
    EXPECT_EQ(result.status, 1) << c.message;
    EXPECT_NE(result.output.find(c.message), std::string::npos) << result.output;
    EXPECT_TRUE(std::filesystem::is_empty(folder)) << c.message;
  }
  for (std::string arguments : {"", " out.mov --seconds zero", " out.mov --seconds -3", " out.mov",
                                " out.mov --seconds 1 --screen NONE"})
    EXPECT_EQ(vidorel("record" + arguments).status, 64) << arguments;
}

} // namespace
} // namespace vidorel
