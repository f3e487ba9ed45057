#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Result {
  int status = -1;
  std::string output;
};

// Runs the vidorel executable with a shell command line; stdout and stderr
// are both captured.
Result vidorel(const std::string& arguments, const std::string& environment = "") {
  Result result;
  std::string command = environment + " '" VIDOREL_BINARY "' " + arguments + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe)
    return result;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0)
    result.output.append(chunk, n);
  int raw = pclose(pipe);
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return result;
}

std::string lastLine(const std::string& text) {
  std::string trimmed = text;
  while (!trimmed.empty() && trimmed.back() == '\n')
    trimmed.pop_back();
  size_t at = trimmed.rfind('\n');
  return at == std::string::npos ? trimmed : trimmed.substr(at + 1);
}

class RecordCommandTest : public ::testing::Test {
protected:
  void SetUp() override {
    folder = std::filesystem::temp_directory_path() /
             ("vidorel-record-" + std::to_string(getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder);
  }
  void TearDown() override { std::filesystem::remove_all(folder); }
  std::filesystem::path folder;
};

TEST_F(RecordCommandTest, RecordsATakeAndReportsIt) {
  auto file = folder / "take.mov";
  Result result = vidorel("record '" + file.string() + "' --seconds 2");
  ASSERT_EQ(result.status, 0) << result.output;
  std::smatch match;
  std::string line = lastLine(result.output);
  ASSERT_TRUE(std::regex_match(
      line, match, std::regex(R"(duration=([0-9.]+) frames=([0-9]+) dropped=([0-9]+))")))
      << line;
  EXPECT_NEAR(std::stod(match[1]), 2.0, 0.3);
  EXPECT_GE(std::stoi(match[2]), 1);
  EXPECT_TRUE(std::filesystem::exists(file));
}

TEST_F(RecordCommandTest, NoDisplayFails) {
  Result result =
      vidorel("record '" + (folder / "x.mov").string() + "' --seconds 1", "DISPLAY=:1999");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.output.find("No display is available to record."), std::string::npos)
      << result.output;
  EXPECT_FALSE(std::filesystem::exists(folder / "x.mov"));
}

TEST_F(RecordCommandTest, NoMicrophoneFails) {
  Result result = vidorel("record '" + (folder / "x.mov").string() + "' --seconds 1",
                          "PULSE_SERVER=unix:/nonexistent/native");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.output.find("No microphone is available."), std::string::npos) << result.output;
  EXPECT_FALSE(std::filesystem::exists(folder / "x.mov"));
}

TEST_F(RecordCommandTest, UnwritableFileFails) {
  Result result = vidorel("record '" + (folder / "no" / "x.mov").string() + "' --seconds 1");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.output.find("couldn't be created"), std::string::npos) << result.output;
}

TEST_F(RecordCommandTest, BadArgumentsShowTheUsage) {
  EXPECT_EQ(vidorel("record").status, 64);
  EXPECT_EQ(vidorel("record out.mov --seconds zero").status, 64);
  EXPECT_EQ(vidorel("record out.mov --seconds -3").status, 64);
  EXPECT_EQ(vidorel("record out.mov").status, 64);
}

TEST_F(RecordCommandTest, TheTakeHasSoundFromItsStart) {
  auto file = folder / "take.mov";
  Result result = vidorel("record '" + file.string() + "' --seconds 1.5");
  ASSERT_EQ(result.status, 0) << result.output;
  std::string command = "ffmpeg -v error -i '" + file.string() +
                        "' -vn -af atrim=0:0.5 -ac 1 -ar 48000 -f s16le - 2>/dev/null";
  std::string raw;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0)
    raw.append(chunk, n);
  pclose(pipe);
  std::vector<std::int16_t> samples(raw.size() / 2);
  std::memcpy(samples.data(), raw.data(), samples.size() * 2);
  ASSERT_GT(samples.size(), 20000u);
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

} // namespace
