#include "base/format.h"
#include "base/iso8601.h"
#include "base/log.h"
#include "base/uuid.h"
#include "base/xdg_paths.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace vidorel {
namespace {

TEST(Uuid, WritesUpperCaseAndParsesEitherCase) {
  Uuid a = Uuid::random();
  EXPECT_NE(a, Uuid::random());
  std::string text = a.string();
  EXPECT_EQ(text.find_first_of("abcdef"), std::string::npos) << text;
  std::string lower = text;
  for (char& c : lower)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(Uuid::parse(lower), a);
  for (const std::string& bad : {std::string(), text.substr(1), text + "0",
                                 std::string("E621E1F8-C36C-495A-93FC-0C247A3E6E5G")})
    EXPECT_FALSE(Uuid::parse(bad)) << bad;
  EXPECT_TRUE(Uuid().isNil());
}

TEST(Iso8601, FormatsUtcAndParsesOffsets) {
  auto parsed = parseIso8601("2026-12-06T19:10:47Z");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(formatIso8601(*parsed), "2026-12-06T19:10:47Z");
  EXPECT_EQ(parseIso8601("2026-12-06T21:10:47+02:00"), parsed);
  EXPECT_EQ(parseIso8601("2026-12-06T13:40:47-0530"), parsed);
  EXPECT_EQ(formatIso8601(*parseIso8601("2024-02-29T00:00:00Z")), "2024-02-29T00:00:00Z");

  for (const char* bad :
       {"2026-12-06T19:10:47.5Z", "2026-12-06T19:10:47", "2026-12-06 19:10:47Z",
        "2026-02-30T00:00:00Z", "2026-12-06T24:00:00Z", "2026-12-06T19:10:47+2:00",
        "2026-12-06T19:10:47Zjunk", "", "26-12-06T19:10:47Z"})
    EXPECT_FALSE(parseIso8601(bad)) << bad;
}

TEST(Format, MinutesSecondsTruncate) {
  EXPECT_EQ(formatMinutesSeconds(0), "0:00");
  EXPECT_EQ(formatMinutesSeconds(75.99), "1:15");
  EXPECT_EQ(formatMinutesSeconds(3600), "60:00");
  EXPECT_EQ(formatString("%s-%d", "take", 3), "take-3");
}

TEST(Log, FansOutToEverySinkWithItsCategory) {
  Logger logger;
  auto first = std::make_shared<RecordingLogSink>(), second = std::make_shared<RecordingLogSink>();
  logger.addSink(first);
  logger.addSink(second);
  logger.info(LogCategory::export_, "export ok");
  logger.error(LogCategory::state, "bad");
  EXPECT_EQ(first->lines(), second->lines());
  EXPECT_EQ(first->messages(LogCategory::export_), std::vector<std::string>{"export ok"});
  EXPECT_EQ(first->lines().at(1).level, LogLevel::error);
}

TEST(XdgPaths, FollowTheEnvironmentAndIgnoreRelativePaths) {
  setenv("XDG_DATA_HOME", "/tmp/vidorel-data", 1);
  setenv("XDG_CONFIG_HOME", "relative", 1);
  setenv("HOME", "/home/presenter", 1);
  EXPECT_EQ(scratchRoot(), "/tmp/vidorel-data/Vidorel/Sessions");
  EXPECT_EQ(defaultsFile(), "/home/presenter/.config/Vidorel/defaults.json");
}

} // namespace
} // namespace vidorel
