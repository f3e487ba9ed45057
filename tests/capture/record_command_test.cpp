#include "fakes/shell_command.h"
#include "support/movie_tools.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using vidorel::testing::commandOutput;
using vidorel::testing::CommandResult;
using vidorel::testing::runShellCommand;

// Runs the vidorel executable with a shell command line; stdout and stderr
// are both captured.
CommandResult vidorel(const std::string& arguments, const std::string& environment = "") {
  return runShellCommand(environment + " '" VIDOREL_BINARY "' " + arguments);
}

std::string lastLine(const std::string& text) {
  size_t at = text.rfind('\n');
  return at == std::string::npos ? text : text.substr(at + 1);
}

class RecordCommandTest : public ::testing::Test {
protected:
  vidorel::testing::TemporaryFolder temporary{"record"};
  const std::filesystem::path& folder = temporary.path();
};

TEST_F(RecordCommandTest, RecordsATakeWithSoundFromItsStartAndReportsIt) {
  auto file = folder / "take.mov";
  CommandResult result = vidorel("record '" + file.string() + "' --seconds 2");
  ASSERT_EQ(result.status, 0) << result.output;
  std::smatch match;
  std::string line = lastLine(result.output);
  ASSERT_TRUE(std::regex_match(
      line, match, std::regex(R"(duration=([0-9.]+) frames=([0-9]+) dropped=([0-9]+))")))
      << line;
  EXPECT_NEAR(std::stod(match[1]), 2.0, 0.3);
  EXPECT_GE(std::stoi(match[2]), 1);

  std::vector<short> samples = vidorel::testing::decodedAudio(file);
  ASSERT_GT(samples.size(), 24000u);
  samples.resize(24000); // the first half second
  size_t first = samples.size();
  for (size_t i = 0; i < samples.size(); ++i) {
    if (std::abs(samples[i]) > 1000) {
      first = i;
      break;
    }
  }
  // The microphone's tone within the first 50 ms.
  EXPECT_LT(first, 48000u * 50 / 1000) << "sound starts at " << first / 48.0 << " ms";
}

TEST_F(RecordCommandTest, FailuresAreToldAndLeaveNoFile) {
  struct Case {
    std::string file, environment, message;
  };
  const Case cases[] = {
      {"x.mov", "DISPLAY=:1999", "No display is available to record."},
      {"x.mov", "PULSE_SERVER=unix:/nonexistent/native", "No microphone is available."},
      {"no/x.mov", "", "couldn't be created"},
  };
  for (const Case& c : cases) {
    CommandResult result =
        vidorel("record '" + (folder / c.file).string() + "' --seconds 1", c.environment);
    EXPECT_EQ(result.status, 1) << c.message;
    EXPECT_NE(result.output.find(c.message), std::string::npos) << result.output;
    EXPECT_FALSE(std::filesystem::exists(folder / c.file));
  }
}

TEST_F(RecordCommandTest, BadArgumentsShowTheUsage) {
  EXPECT_EQ(vidorel("record").status, 64);
  EXPECT_EQ(vidorel("record out.mov --seconds zero").status, 64);
  EXPECT_EQ(vidorel("record out.mov --seconds -3").status, 64);
  EXPECT_EQ(vidorel("record out.mov").status, 64);
}

} // namespace
