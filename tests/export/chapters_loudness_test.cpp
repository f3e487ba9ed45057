#include "export/ffmpeg_session_exporter.h"

#include "fakes/session_builder.h"
#include "support/movie_tools.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <regex>

namespace vidorel {
namespace {
namespace fs = std::filesystem;
using testing::takeOf;

struct Loudness {
  double integrated = 0; // LUFS
  double truePeak = 0;   // dBTP
};

// FFmpeg's ebur128 filter over [from, to) of the movie's sound.
Loudness measured(const fs::path& movie, double from, double to) {
  std::string output =
      testing::runShellCommand("ffmpeg -nostdin -hide_banner -nostats -i " +
                               testing::shellQuoted(movie) +
                               " -map 0:a -af atrim=start=" + std::to_string(from) +
                               ":end=" + std::to_string(to) + ",ebur128=peak=true -f null -")
          .output;
  std::string summary = output.substr(std::min(output.find("Summary:"), output.size()));
  auto value = [&](const char* pattern) {
    std::smatch match;
    if (!std::regex_search(summary, match, std::regex(pattern)))
      return 1000.0;
    return match[1] == "-inf" ? -HUGE_VAL : std::stod(match[1]);
  };
  return {value(R"(I:\s+(-inf|-?[0-9.]+) LUFS)"), value(R"(Peak:\s+(-inf|-?[0-9.]+) dBFS)")};
}

struct Chapter {
  std::string title;
  double start = 0;
  bool operator==(const Chapter&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Chapter& chapter) {
  return out << chapter.start << " " << chapter.title;
}

std::vector<Chapter> ffprobeChapters(const fs::path& movie) {
  nlohmann::json shown = nlohmann::json::parse(testing::commandOutput(
      "ffprobe -v error -show_chapters -of json " + testing::shellQuoted(movie)));
  std::vector<Chapter> chapters;
  for (const auto& chapter : shown.at("chapters"))
    chapters.push_back(
        {chapter.at("tags").at("title"), std::stod(chapter.at("start_time").get<std::string>())});
  return chapters;
}

std::vector<Chapter> mpvChapters(const fs::path& movie) {
  nlohmann::json shown = nlohmann::json::parse(testing::commandOutput(
      "mpv --no-config --vo=null --ao=null --frames=1 --really-quiet "
      "--msg-level=all=no,term-msg=info '--term-playing-msg=${=chapter-list}' " +
      testing::shellQuoted(movie)));
  std::vector<Chapter> chapters;
  for (const auto& chapter : shown)
    chapters.push_back({chapter.at("title"), chapter.at("time")});
  return chapters;
}

TEST(ChaptersAndLoudness, ScenesAreChaptersAndSoundAtOneLoudness) {
  fs::path root = testing::makeTemporaryFolder("even");
  fs::path takes = root / "session" / "takes";
  fs::create_directories(takes);
  // Pink noise 13 dB apart, and a take without sound.
  testing::TakeSpec loud;
  loud.amplitude = 1.0;
  loud.rate = 60;
  testing::makeTake(takes / "loud.mov", loud);
  testing::TakeSpec quiet = loud;
  quiet.amplitude = 0.22;
  quiet.toneHz = 7;
  quiet.pattern = "testsrc2";
  testing::makeTake(takes / "quiet.mov", quiet);
  testing::TakeSpec silent = loud;
  silent.seconds = 2;
  silent.audio = false;
  testing::makeTake(takes / "silent.mov", silent);
  Loudness loudTake = measured(takes / "loud.mov", 0.5, 3.5);
  Loudness quietTake = measured(takes / "quiet.mov", 0.25, 3.75);
  EXPECT_NEAR(loudTake.integrated - quietTake.integrated, 13, 1);

  fs::path movie = root / "movie.mov";
  std::vector<Take> selected = {takeOf("loud.mov", 4, 0.5, 3.5), takeOf("quiet.mov", 4, 0.25, 3.75),
                                takeOf("silent.mov", 4, 0, 1)};
  ExportOptions options{{"Loud", "Scène 2", "Silent"}, true};
  std::optional<ExportFailure> failure = exportMovie(selected, takes, movie, nullptr, options);
  ASSERT_FALSE(failure) << failure->fullDescription();

  std::vector<Chapter> expected = {{"Loud", 0}, {"Scène 2", 3}, {"Silent", 6.5}};
  EXPECT_EQ(ffprobeChapters(movie), expected);
  EXPECT_EQ(mpvChapters(movie), expected);
  // GStreamer plays the movie without offering the chapters as subtitles.
  std::string discovered =
      testing::commandOutput("gst-discoverer-1.0 " + testing::shellQuoted(movie));
  EXPECT_NE(discovered.find("video #"), std::string::npos) << discovered;
  EXPECT_EQ(discovered.find("subtitle"), std::string::npos) << discovered;

  Loudness first = measured(movie, 0, 3);
  Loudness second = measured(movie, 3, 6.5);
  Loudness whole = measured(movie, 0, 7.5);
  std::printf("scenes at %.1f and %.1f LUFS became %.1f and %.1f LUFS, true peak %.1f dBTP\n",
              loudTake.integrated, quietTake.integrated, first.integrated, second.integrated,
              whole.truePeak);
  EXPECT_NEAR(first.integrated, -16, 1);
  EXPECT_NEAR(second.integrated, -16, 1);
  EXPECT_LE(whole.truePeak, -1);
  // The take without sound stays silent.
  EXPECT_EQ(measured(movie, 6.6, 7.5).truePeak, -HUGE_VAL);
  fs::remove_all(root);
}

} // namespace
} // namespace vidorel
