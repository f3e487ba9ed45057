// Exports of real takes, read back by readers independent of ours: FFmpeg
// and GStreamer must show every frame of every trim range, and nothing
// else, at its time (copied frames bit-exact, re-encoded ones visually
// lossless, the sound in step at every join); mpv and FFmpeg list the
// chapters; MLT reads the rate and length; Chromium plays to the end.

#include "export/ffmpeg_session_exporter.h"

#include "base/format.h"
#include "fakes/session_builder.h"
#include "support/movie_tools.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <regex>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace vidorel {
namespace {
namespace fs = std::filesystem;
using testing::Packet;
using testing::shellQuoted;
using testing::ShownMovie;
using testing::takeOf;

constexpr double kEpsilon = 1e-6;

// Entries of every sample description box (one per track, in track order).
std::vector<int> descriptionCounts(const fs::path& movie) {
  std::string bytes = testing::readFile(movie);
  std::vector<int> counts;
  for (size_t at = bytes.find("stsd"); at != std::string::npos; at = bytes.find("stsd", at + 4)) {
    const auto* entry = reinterpret_cast<const unsigned char*>(bytes.data() + at + 8);
    counts.push_back((entry[0] << 24) | (entry[1] << 16) | (entry[2] << 8) | entry[3]);
  }
  return counts;
}

// One take as FFmpeg shows it, with its video packets in decode order.
struct Source {
  ShownMovie shown;
  std::vector<Packet> packets;
  double period = 1.0 / 24; // the take's nominal frame period
};

// The export's failure text; empty on success.
std::string exported(const std::vector<Take>& takes, const fs::path& folder, const fs::path& movie,
                     ExportStatistics* statistics = nullptr, const ExportOptions& options = {}) {
  std::optional<ExportFailure> failure = exportMovie(takes, folder, movie, statistics, options);
  return failure ? failure->fullDescription() : std::string();
}

struct Expected {
  double time = 0;
  std::string frame;
  bool copied = false;
};

// What a segment must show: every frame whose display span meets the trim
// range, from the segment's start or its own time, whichever is later.
// Frames from the first key frame shown at or after the start are copied
// while they are decoded before any frame shown at or after the end.
std::vector<Expected> expectedFrames(const Source& source, double start, double end,
                                     double movieStart) {
  const std::vector<Packet>& packets = source.packets;
  auto key = std::find_if(packets.begin(), packets.end(), [&](const Packet& packet) {
    return packet.key && packet.pts >= start - kEpsilon && packet.pts < end - kEpsilon;
  });
  auto last = std::find_if(key, packets.end(),
                           [&](const Packet& packet) { return packet.pts >= end - kEpsilon; });
  std::vector<Expected> expected;
  const std::vector<double>& times = source.shown.times;
  for (size_t i = 0; i < times.size(); ++i) {
    double next = i + 1 < times.size() ? times[i + 1] : source.shown.duration;
    if (next <= start + kEpsilon || times[i] >= end - kEpsilon)
      continue;
    bool copied = std::any_of(
        key, last, [&](const Packet& packet) { return std::fabs(packet.pts - times[i]) < 1e-4; });
    expected.push_back(
        {movieStart + std::max(times[i], start) - start, source.shown.frames.at(i), copied});
  }
  return expected;
}

// Sample `at` seconds plus `offset` samples of 48 kHz sound (silence outside).
double sampleAt(const std::vector<short>& samples, double at, long long offset) {
  long long index = std::llround(at * 48000) + offset;
  return index >= 0 && index < static_cast<long long>(samples.size()) ? samples[index] : 0.0;
}

// The lag (seconds) at which the movie's sound from movieTime best matches
// the source's from sourceTime, over length seconds; correlation is the
// normalised correlation at that lag.
double soundLag(const std::vector<short>& movie, double movieTime, const std::vector<short>& source,
                double sourceTime, double length, double& correlation) {
  correlation = -2;
  int bestLag = 0;
  for (int lag = -48 * 30; lag <= 48 * 30; lag += 4) {
    double product = 0, movieEnergy = 0, sourceEnergy = 0;
    for (long long i = 0; i < std::llround(length * 48000); i += 2) {
      double m = sampleAt(movie, movieTime, i + lag), s = sampleAt(source, sourceTime, i);
      product += m * s;
      movieEnergy += m * m;
      sourceEnergy += s * s;
    }
    if (double value = product / std::sqrt(std::max(1.0, movieEnergy * sourceEnergy));
        value > correlation) {
      correlation = value;
      bestLag = lag;
    }
  }
  return bestLag / 48000.0;
}

double loudness(const std::vector<short>& samples, double from, double length) {
  double energy = 0;
  for (long long i = 0; i < std::llround(length * 48000); ++i)
    energy += std::pow(sampleAt(samples, from, i), 2);
  return std::sqrt(energy / (length * 48000));
}

struct Segment {
  const Source* source;
  double start;
  double end;
  bool letterboxed = false;
};

// Checks what one reader shows of a movie made of these segments.
void checkShown(const char* reader, const ShownMovie& shown, const std::vector<Segment>& segments) {
  SCOPED_TRACE(reader);
  double total = 0;
  for (const Segment& segment : segments)
    total += segment.end - segment.start;
  EXPECT_NEAR(shown.duration, total, 0.001);

  std::vector<Expected> expected;
  std::vector<const Segment*> of;
  double movieStart = 0;
  for (const Segment& segment : segments) {
    for (Expected& frame :
         expectedFrames(*segment.source, segment.start, segment.end, movieStart)) {
      expected.push_back(std::move(frame));
      of.push_back(&segment);
    }
    movieStart += segment.end - segment.start;
  }
  ASSERT_EQ(shown.times.size(), expected.size());
  ASSERT_EQ(shown.frames.size(), expected.size());
  int copied = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_NEAR(shown.times[i], expected[i].time, of[i]->source->period / 2) << "frame " << i;
    if (of[i]->letterboxed)
      continue;
    if (expected[i].copied) {
      EXPECT_TRUE(shown.frames[i] == expected[i].frame) << "copied frame " << i;
      ++copied;
    } else {
      EXPECT_GE(testing::psnr(shown.frames[i], expected[i].frame, shown.width, shown.height), 40.0)
          << "re-encoded frame " << i;
    }
  }
  EXPECT_GT(copied, 0);

  // The sound of each segment is its take's, within 11 ms of the picture.
  movieStart = 0;
  for (const Segment& segment : segments) {
    double length = segment.end - segment.start;
    double window = std::min(0.3, length - 0.1);
    if (window >= 0.1 && segment.source->shown.audio.empty()) {
      EXPECT_LT(loudness(shown.audio, movieStart + 0.05, window), 30.0) << "at " << movieStart;
    } else if (window >= 0.1) {
      double correlation = 0;
      double lag = soundLag(shown.audio, movieStart + 0.05, segment.source->shown.audio,
                            segment.start + 0.05, window, correlation);
      EXPECT_GT(correlation, 0.8) << "sound at " << movieStart;
      EXPECT_LE(std::fabs(lag), 0.011) << "sound at " << movieStart;
    }
    movieStart += length;
  }
  // Sound for the whole movie, up to one AAC packet short at its end.
  EXPECT_NEAR(static_cast<double>(shown.audio.size()) / 48000, total, 0.03);
}

// Both readers' view; returns FFmpeg's.
ShownMovie checkMovie(const fs::path& movie, const std::vector<Segment>& segments) {
  for (const auto& edits : testing::editLists(movie))
    EXPECT_LE(edits.size(), 1u);
  ShownMovie ffmpeg = testing::showWithFfmpeg(movie);
  checkShown("ffmpeg", ffmpeg, segments);
  checkShown("gstreamer", testing::showWithGstreamer(movie), segments);
  return ffmpeg;
}

// Headless Chromium plays the movie to its end without an error, every
// frame FFmpeg shows decoded.
void expectChromiumPlays(const fs::path& movie, const ShownMovie& ffmpeg) {
  testing::CommandResult run =
      testing::runCommand("/usr/bin/python3 " VIDOREL_CHROMIUM_PLAYER " " + shellQuoted(movie));
  ASSERT_EQ(run.status, 0) << "Chromium could not be run";
  nlohmann::json played = nlohmann::json::parse(run.output, nullptr, false);
  if (!played.value("h264", false)) {
    std::printf("not played: this Chromium plays no H.264 (built without patented codecs)\n");
    return;
  }
  ASSERT_FALSE(played.contains("error")) << run.output;
  EXPECT_TRUE(played.value("ended", false)) << run.output;
  EXPECT_NEAR(played.value("duration", 0.0), ffmpeg.duration, 1.0 / 24) << run.output;
  EXPECT_NEAR(played.value("currentTime", 0.0), ffmpeg.duration, 1.0 / 24) << run.output;
  EXPECT_EQ(played.value("frames", std::size_t{0}), ffmpeg.frames.size()) << run.output;
}

// Integrated loudness (LUFS) and true peak (dBTP) over [from, to) of the
// sound, by FFmpeg's ebur128 filter.
std::pair<double, double> measured(const fs::path& movie, double from, double to) {
  std::string output = testing::runShellCommand(
                           formatString("ffmpeg -nostdin -hide_banner -nostats -i %s -map 0:a -af "
                                        "atrim=start=%f:end=%f,ebur128=peak=true -f null -",
                                        shellQuoted(movie).c_str(), from, to))
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

// The chapters as FFmpeg or mpv list them, a "start title" line each.
std::string chapters(const fs::path& movie, bool mpv) {
  nlohmann::json shown = nlohmann::json::parse(testing::commandOutput(
      mpv ? "mpv --no-config --vo=null --ao=null --frames=1 --really-quiet "
            "--msg-level=all=no,term-msg=info '--term-playing-msg=${=chapter-list}' " +
                shellQuoted(movie)
          : "ffprobe -v error -show_chapters -of json " + shellQuoted(movie)));
  std::string list;
  for (const auto& chapter : mpv ? shown : shown.at("chapters")) {
    double start = mpv ? chapter.at("time").get<double>()
                       : std::stod(chapter.at("start_time").get<std::string>());
    const auto& title = mpv ? chapter.at("title") : chapter.at("tags").at("title");
    list += formatString("%.3f %s\n", start, title.get<std::string>().c_str());
  }
  return list;
}

// The rate ffprobe states and finds ("r_frame_rate,avg_frame_rate,packets"),
// then the packets' durations, each once.
std::string probedRate(const fs::path& file) {
  return testing::commandOutput("ffprobe -v error -select_streams v:0 -count_packets -show_entries "
                                "stream=r_frame_rate,avg_frame_rate,nb_read_packets -of csv=p=0 " +
                                shellQuoted(file) +
                                "; ffprobe -v error -select_streams v:0 -show_entries "
                                "packet=duration_time -of csv=p=0 " +
                                shellQuoted(file) + " | sort -u");
}

// A frame every 1/60 s, one entry in the video's time-to-sample table.
void expectConstantRate(const fs::path& file, long frames) {
  EXPECT_EQ(probedRate(file), formatString("60/1,60/1,%ld\n0.016667\n", frames)) << file;
  std::string bytes = testing::readFile(file);
  size_t at = bytes.find("stts");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(bytes.substr(at + 8, 4), std::string("\0\0\0\1", 4)) << file;
}

// Frames at which the picture differs from the frame before.
std::vector<size_t> changes(const ShownMovie& shown) {
  std::vector<size_t> at;
  for (size_t i = 1; i < shown.frames.size(); ++i)
    if (shown.frames[i] != shown.frames[i - 1])
      at.push_back(i);
  return at;
}

// Takes made once: b-* by x264 with B-frames (b-2 without sound, b-1 and
// b-3 13 dB apart), own-* and old-* slides of the take writer (old-*
// without stitchable headers), legacy.mov at the moments of change only,
// size-2 and size-3 of another size and sample rate.
class ExportMediaTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    root_ = new fs::path(testing::makeTemporaryFolder("export-media"));
    fs::create_directories(takes());
    testing::TakeSpec b1{
        .seconds = 3, .toneHz = 1, .amplitude = 1.0, .keyInterval = 24, .bFrames = 3};
    testing::makeTake(takes() / "b-1.mov", b1);
    testing::TakeSpec b2 = b1;
    b2.seconds = 2;
    b2.pattern = "testsrc2";
    b2.audio = false;
    testing::makeTake(takes() / "b-2.mov", b2);
    testing::TakeSpec b3 = b2;
    b3.audio = true;
    b3.toneHz = 3;
    b3.amplitude = 0.22;
    testing::makeTake(takes() / "b-3.mov", b3);
    testing::makeTake(takes() / "size-2.mov",
                      {.seconds = 2, .width = 256, .height = 144, .toneHz = 6});
    testing::makeTake(takes() / "size-3.mov",
                      {.seconds = 2, .pattern = "testsrc2", .toneHz = 8, .sampleRate = 44100});
    testing::makeOwnTake(takes() / "own-1.mov", 320, 240, {0, 0.4, 1.7, 1.75, 1.8, 2.6}, 3.2, 7);
    testing::makeOwnTake(takes() / "own-2.mov", 320, 240, {0, 1.1, 1.2, 2.3}, 3.0, 11);
    testing::makeOwnTake(takes() / "old-1.mov", 320, 240, {0, 0.4, 1.7, 2.6}, 3.2, 5, false);
    testing::makeOwnTake(takes() / "old-2.mov", 320, 240, {0, 1.1, 2.3}, 3.0, 13, false);
    // 0.32 s rounds to the tick 0.31 s is on, and goes on the next one, and
    // so on; 0.34 s would land two ticks late and waits for the next free one.
    testing::makeOwnTake(takes() / "ticks.mov", 320, 240, {0, 0.3, 0.31, 0.32, 0.33, 0.34, 1.5},
                         3.0, 1);
    testing::makeOwnTake(takes() / "legacy.mov", 320, 240, {0, 0.25, 0.77, 1.9}, 3.0, 2, true,
                         false);
  }
  static void TearDownTestSuite() {
    fs::remove_all(*root_);
    delete root_;
  }
  static fs::path takes() { return *root_ / "session" / "takes"; }
  static Source source(const std::string& take, double period = 1.0 / 60) {
    return {testing::showWithFfmpeg(takes() / take), testing::packets(takes() / take, 'v'), period};
  }
  fs::path movie(const std::string& name) const { return out_.path() / name; }
  long filesOut() const {
    return std::distance(fs::directory_iterator(out_.path()), fs::directory_iterator());
  }

  static fs::path* root_;
  testing::TemporaryFolder out_{"export-out"};
};

fs::path* ExportMediaTest::root_ = nullptr;

TEST_F(ExportMediaTest, AFailedExportLeavesTheDestinationAsItWasAndNothingBesideIt) {
  std::vector<Take> missing = {takeOf("b-1.mov", 3, 0, 1), takeOf("scene-9-take-1.mov", 4, 0, 1)};
  std::optional<ExportFailure> failure = exportMovie(missing, takes(), movie("movie.mov"));
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->error(), std::nullopt);
  EXPECT_EQ(failure->description(),
            (takes() / "scene-9-take-1.mov").string() + ": No such file or directory");
  EXPECT_EQ(exportMovie({takeOf("b-1.mov", 3, 2, 2)}, takes(), movie("movie.mov")),
            ExportFailure::own(ExportError::exportFailed));
  EXPECT_EQ(filesOut(), 0);

  testing::writeFile(movie("movie.mov"), "an older movie");
  ASSERT_TRUE(exportMovie(missing, takes(), movie("movie.mov")));
  EXPECT_EQ(testing::readFile(movie("movie.mov")), "an older movie");
  ASSERT_EQ(exportMovie({takeOf("b-1.mov", 3, 0, 1)}, takes(), movie("movie.mov")), std::nullopt);
  EXPECT_EQ(testing::showWithFfmpeg(movie("movie.mov")).frames.size(), 24u);
  EXPECT_EQ(filesOut(), 1);
}

// libavformat would wait for a pipe's writer for ever, and the finished
// movie's rename would replace a device node (root may write even in /dev):
// both are refused at once, as is any path to the session's own files.
TEST_F(ExportMediaTest, RefusesDestinationsInTheSessionPipesDevicesAndFolders) {
  fs::path take = takes() / "b-1.mov";
  std::string before = testing::readFile(take);
  std::vector<Take> selected = {takeOf("b-1.mov", 3, 0, 1)};
  fs::create_symlink(take, movie("link.mov"));
  fs::create_hard_link(take, movie("hard.mov"));
  for (fs::path inside : {take, takes().parent_path() / "movie.mov", takes() / "new.mov",
                          movie("link.mov"), movie("hard.mov")})
    EXPECT_EQ(exportMovie(selected, takes(), inside),
              ExportFailure::own(ExportError::destinationInsideSession))
        << inside;
  EXPECT_EQ(testing::readFile(take), before);
  EXPECT_FALSE(fs::exists(takes() / "new.mov"));

  fs::path pipes = movie("session") / "takes";
  fs::create_directories(pipes);
  ASSERT_EQ(::mkfifo((pipes / "b-1.mov").c_str(), 0644), 0);
  EXPECT_TRUE(testing::finishesWithin(20, [&] {
    std::optional<ExportFailure> failure = exportMovie(selected, pipes, movie("movie.mov"));
    return failure && failure->description() ==
                          (pipes / "b-1.mov").string() + ": a named pipe, not a movie file";
  }));
  ASSERT_EQ(::mkfifo(movie("pipe.mov").c_str(), 0644), 0);
  std::vector<std::pair<fs::path, std::string>> destinations = {{movie("pipe.mov"), "named pipe"},
                                                                {pipes, "folder"}};
  if (::geteuid() == 0) {
    ASSERT_EQ(::mknod(movie("null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    destinations.push_back({movie("null"), "device"});
  }
  for (const auto& [destination, kind] : destinations) {
    fs::file_status was = fs::status(destination);
    EXPECT_EQ(exportMovie(selected, takes(), destination),
              ExportFailure::platform(destination.string() + ": a " + kind +
                                      " is there; the movie is only written to a new file or "
                                      "over a regular file"));
    EXPECT_EQ(fs::status(destination).type(), was.type()) << destination;
  }
}

TEST_F(ExportMediaTest, BFrameTakesCutAtNonKeyFramesJoinFrameExactInBothReaders) {
  Source a = source("b-1.mov", 1.0 / 24), b = source("b-2.mov", 1.0 / 24),
         c = source("b-3.mov", 1.0 / 24);
  // Five segments: cuts between key frames, a take without sound between
  // two with sound, a trim to the take's end, a one-frame trim (trims are
  // on the boundaries of 1/60 s frames).
  std::vector<Take> selected = {takeOf("b-1.mov", 3, 0.3, 2.6), takeOf("b-2.mov", 2, 0.55, 1.7),
                                takeOf("b-3.mov", 2, 0.1, 2.0),
                                takeOf("b-1.mov", 3, 1.5, 1.5 + 2.0 / 60),
                                takeOf("b-3.mov", 2, 1.2, 1.9)};
  std::vector<Segment> segments = {
      {&a, 0.3, 2.6}, {&b, 0.55, 1.7}, {&c, 0.1, 2.0}, {&a, 1.5, 1.5 + 2.0 / 60}, {&c, 1.2, 1.9}};
  ExportStatistics statistics;
  ASSERT_EQ(exported(selected, takes(), movie("b-frames.mov"), &statistics), "");
  checkMovie(movie("b-frames.mov"), segments);
  // Only the frames up to the next key frame (and before a trim end, those
  // that need a frame shown after it) were encoded again.
  ASSERT_EQ(statistics.reencodedFrames.size(), 5u);
  EXPECT_LE(statistics.reencodedFrames[0], 24 + 3);
  EXPECT_EQ(statistics.reencodedFrames[3], 1);

  // With chapters and even loudness both readers still show these frames,
  // the sound keeps its place at every join, and Chromium switches between
  // the takes' parameter sets and those of the frames encoded again.
  fs::path even = movie("even.mov");
  ExportOptions options{{"A", "Scène 2", "C", "D", "E"}, true};
  ASSERT_EQ(exported(selected, takes(), even, nullptr, options), "");
  expectChromiumPlays(even, checkMovie(even, segments));
  std::string list = "0.000 A\n2.300 Scène 2\n3.450 C\n5.350 D\n5.383 E\n";
  EXPECT_EQ(chapters(even, false), list);
  EXPECT_EQ(chapters(even, true), list);
  // GStreamer plays the movie without offering the chapters as subtitles.
  std::string discovered = testing::commandOutput("gst-discoverer-1.0 " + shellQuoted(even));
  EXPECT_NE(discovered.find("video #"), std::string::npos) << discovered;
  EXPECT_EQ(discovered.find("subtitle"), std::string::npos) << discovered;
  // Scenes 13 dB apart come out at -16 LUFS each, peaks under -1 dBTP, and
  // the scene without sound stays silent.
  double loud = measured(takes() / "b-1.mov", 0.3, 2.6).first;
  double quiet = measured(takes() / "b-3.mov", 0.1, 2.0).first;
  EXPECT_NEAR(loud - quiet, 13, 1);
  EXPECT_NEAR(measured(even, 0, 2.3).first, -16, 1) << "from " << loud;
  EXPECT_NEAR(measured(even, 3.45, 5.35).first, -16, 1) << "from " << quiet;
  EXPECT_LE(measured(even, 0, 6.1).second, -1);
  EXPECT_EQ(measured(even, 2.4, 3.35).second, -HUGE_VAL);
}

TEST_F(ExportMediaTest, OwnTakesWithStillFramesCutInsideThemKeepOneDescription) {
  Source a = source("own-1.mov"), b = source("own-2.mov");
  ASSERT_GE(a.shown.times.size(), 6u) << a.shown.duration;
  ASSERT_GE(b.shown.times.size(), 4u) << b.shown.duration;
  // The last segment starts at a key frame: copied frames and re-encoded
  // ones share the track.
  std::vector<Take> selected = {takeOf("own-1.mov", 4, 0.9, 2.2), takeOf("own-2.mov", 4, 0.5, 2.9),
                                takeOf("own-1.mov", 4, 2.0, 3.2), takeOf("own-2.mov", 4, 0, 1.15)};
  ASSERT_EQ(exported(selected, takes(), movie("own.mov")), "");
  expectChromiumPlays(movie("own.mov"),
                      checkMovie(movie("own.mov"),
                                 {{&a, 0.9, 2.2}, {&b, 0.5, 2.9}, {&a, 2.0, 3.2}, {&b, 0, 1.15}}));
  // Re-encoded frames share the takes' parameter sets: one description
  // per track, with the colour box of BT.709 limited range.
  EXPECT_EQ(descriptionCounts(movie("own.mov")), (std::vector<int>{1, 1}));
  std::string bytes = testing::readFile(movie("own.mov"));
  EXPECT_NE(bytes.find(std::string("colrnclx\0\1\0\1\0\1\0", 15)), std::string::npos);

  // Takes written before their headers were stitchable carry the rate
  // factor's quantiser in their parameter sets; cuts of them still keep
  // one description.
  Source c = source("old-1.mov"), d = source("old-2.mov");
  selected = {takeOf("old-1.mov", 4, 0.9, 2.2), takeOf("old-2.mov", 4, 0.5, 2.9)};
  ASSERT_EQ(exported(selected, takes(), movie("old.mov")), "");
  checkMovie(movie("old.mov"), {{&c, 0.9, 2.2}, {&d, 0.5, 2.9}});
  EXPECT_EQ(descriptionCounts(movie("old.mov")), (std::vector<int>{1, 1}));

  // A session recorded partly before and partly after: each take's frames,
  // copied or re-encoded, use its own description.
  selected = {takeOf("old-1.mov", 4, 0.9, 2.2), takeOf("own-1.mov", 4, 0.9, 2.2),
              takeOf("old-2.mov", 4, 0.5, 2.9)};
  ASSERT_EQ(exported(selected, takes(), movie("mixed.mov")), "");
  checkMovie(movie("mixed.mov"), {{&c, 0.9, 2.2}, {&a, 0.9, 2.2}, {&d, 0.5, 2.9}});
  EXPECT_EQ(descriptionCounts(movie("mixed.mov")), (std::vector<int>{2, 1}));
}

TEST_F(ExportMediaTest, TakeOfAnotherSizeIsLetterboxedAndAnotherRateConverted) {
  Source a = source("b-1.mov", 1.0 / 24), b = source("size-2.mov", 1.0 / 24),
         c = source("size-3.mov", 1.0 / 24);
  std::vector<Take> selected = {takeOf("b-1.mov", 3, 0, 1.3), takeOf("size-2.mov", 2, 0.4, 1.5),
                                takeOf("size-3.mov", 2, 0.7, 1.9)};
  ASSERT_EQ(exported(selected, takes(), movie("sizes.mov")), "");
  ShownMovie shown =
      checkMovie(movie("sizes.mov"), {{&a, 0, 1.3}, {&b, 0.4, 1.5, true}, {&c, 0.7, 1.9}});
  EXPECT_EQ(testing::frameSizes(movie("sizes.mov")),
            std::vector<std::string>(shown.times.size(), "320x240"));
}

TEST_F(ExportMediaTest, TakesAndTheirExportsAreOneRunOfSixtiethsForEveryReader) {
  // A take holds a frame per tick, repeats shown as the picture before.
  expectConstantRate(takes() / "ticks.mov", 180);
  ShownMovie ticks = testing::showWithFfmpeg(takes() / "ticks.mov");
  ASSERT_EQ(ticks.frames.size(), 180u);
  EXPECT_TRUE(testing::showWithGstreamer(takes() / "ticks.mov").frames == ticks.frames);
  EXPECT_EQ(changes(ticks), (std::vector<size_t>{18, 19, 20, 21, 22, 90}));
  for (size_t i = 0; i < ticks.times.size(); ++i)
    EXPECT_NEAR(ticks.times[i], i / 60.0, 1e-3);

  // So is an export of it and of a take written as earlier versions did.
  ASSERT_NE(probedRate(takes() / "legacy.mov").substr(0, 10), "60/1,60/1,");
  // Trims off the frame boundaries: 16/60 to 151/60 s, 6/60 to 174/60 s.
  std::vector<Take> selected = {takeOf("ticks.mov", 3, 0.26, 2.51),
                                takeOf("legacy.mov", 3, 0.1, 2.9)};
  fs::path out = movie("movie.mov");
  ASSERT_EQ(exported(selected, takes(), out), "");
  constexpr long kFrames = 135 + 168;
  expectConstantRate(out, kFrames);
  ShownMovie ffmpeg = testing::showWithFfmpeg(out);
  EXPECT_EQ(testing::showWithGstreamer(out).frames.size(), ffmpeg.frames.size());
  // The earlier take's pictures change where it changed: 0.25, 0.77 and 1.9
  // s on their nearest ticks within the segment.
  std::vector<size_t> changed = changes(ffmpeg);
  for (size_t tick : {15u, 46u, 114u})
    EXPECT_TRUE(std::count(changed.begin(), changed.end(), 135 + tick - 6)) << tick;

  testing::CommandResult melt =
      testing::runCommand("melt " + shellQuoted(out) + " -consumer xml 2>/dev/null");
  ASSERT_EQ(melt.status, 0);
  std::smatch match;
  ASSERT_TRUE(std::regex_search(
      melt.output, match, std::regex(R"re(frame_rate_num="(\d+)" frame_rate_den="(\d+)")re")));
  EXPECT_EQ(match[1].str() + "/" + match[2].str(), "60/1");
  ASSERT_TRUE(std::regex_search(melt.output, match, std::regex(R"re(name="length">(\d+)<)re")));
  EXPECT_EQ(std::stol(match[1]), kFrames);

  fs::path copy = movie("out.mp4");
  ASSERT_EQ(testing::runCommand("ffmpeg -nostdin -v error -i " + shellQuoted(out) + " " +
                                shellQuoted(copy))
                .status,
            0);
  EXPECT_NE(probedRate(copy).find(formatString(",%ld\n", kFrames)), std::string::npos);
}

} // namespace
} // namespace vidorel
