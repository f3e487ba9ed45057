// Exports read back by two independent readers, FFmpeg and GStreamer: both
// must show every frame of every trim range, and nothing else, at its time,
// copied frames bit-exact and re-encoded ones visually lossless, with the
// sound in step at every join.

#include "capture/ffmpeg_take_writer.h"
#include "export/ffmpeg_session_exporter.h"
#include "fakes/session_builder.h"
#include "store/duration_probe.h"
#include "support/movie_tools.h"
#include "support/temporary_folder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace vidorel {
namespace {
namespace fs = std::filesystem;
using testing::Packet;
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
  std::vector<double> copiedTimes;
  size_t key = source.packets.size();
  for (size_t i = 0; i < source.packets.size(); ++i) {
    const Packet& packet = source.packets[i];
    if (packet.key && packet.pts >= start - kEpsilon && packet.pts < end - kEpsilon) {
      key = i;
      break;
    }
  }
  for (size_t i = key; i < source.packets.size() && source.packets[i].pts < end - kEpsilon; ++i)
    copiedTimes.push_back(source.packets[i].pts);

  std::vector<Expected> expected;
  const std::vector<double>& times = source.shown.times;
  for (size_t i = 0; i < times.size(); ++i) {
    double next = i + 1 < times.size() ? times[i + 1] : source.shown.duration;
    if (next <= start + kEpsilon || times[i] >= end - kEpsilon)
      continue;
    Expected frame;
    frame.time = movieStart + std::max(times[i], start) - start;
    frame.frame = source.shown.frames.at(i);
    frame.copied = std::any_of(copiedTimes.begin(), copiedTimes.end(),
                               [&](double copied) { return std::fabs(copied - times[i]) < 1e-4; });
    expected.push_back(frame);
  }
  return expected;
}

// The lag (seconds) at which the movie's sound from movieTime best matches
// the source's from sourceTime, over length seconds; correlation is the
// normalised correlation at that lag.
double soundLag(const std::vector<short>& movie, double movieTime, const std::vector<short>& source,
                double sourceTime, double length, double& correlation) {
  constexpr int kRate = 48000;
  constexpr int kSearch = kRate * 30 / 1000;
  auto at = [](const std::vector<short>& samples, long long index) -> double {
    return index >= 0 && index < static_cast<long long>(samples.size()) ? samples[index] : 0.0;
  };
  long long movieFirst = std::llround(movieTime * kRate);
  long long sourceFirst = std::llround(sourceTime * kRate);
  long long count = std::llround(length * kRate);
  double best = -2;
  int bestLag = 0;
  for (int lag = -kSearch; lag <= kSearch; lag += 4) {
    double product = 0, movieEnergy = 0, sourceEnergy = 0;
    for (long long i = 0; i < count; i += 2) {
      double m = at(movie, movieFirst + i + lag);
      double s = at(source, sourceFirst + i);
      product += m * s;
      movieEnergy += m * m;
      sourceEnergy += s * s;
    }
    double value = product / std::sqrt(std::max(1.0, movieEnergy * sourceEnergy));
    if (value > best) {
      best = value;
      bestLag = lag;
    }
  }
  correlation = best;
  return static_cast<double>(bestLag) / kRate;
}

double loudness(const std::vector<short>& samples, double from, double length) {
  double energy = 0;
  long long first = std::llround(from * 48000);
  long long count = std::llround(length * 48000);
  for (long long i = first; i < first + count && i < static_cast<long long>(samples.size()); ++i)
    energy +=
        static_cast<double>(samples[static_cast<size_t>(i)]) * samples[static_cast<size_t>(i)];
  return std::sqrt(energy / static_cast<double>(std::max(1LL, count)));
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
  std::vector<double> tolerance;
  std::vector<bool> letterboxed;
  double movieStart = 0;
  for (const Segment& segment : segments) {
    for (Expected& frame :
         expectedFrames(*segment.source, segment.start, segment.end, movieStart)) {
      expected.push_back(std::move(frame));
      tolerance.push_back(segment.source->period / 2);
      letterboxed.push_back(segment.letterboxed);
    }
    movieStart += segment.end - segment.start;
  }
  ASSERT_EQ(shown.times.size(), expected.size());
  ASSERT_EQ(shown.frames.size(), expected.size());
  int copied = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_NEAR(shown.times[i], expected[i].time, tolerance[i]) << "frame " << i;
    if (letterboxed[i])
      continue;
    double quality = testing::psnr(shown.frames[i], expected[i].frame, shown.width, shown.height);
    if (expected[i].copied) {
      EXPECT_TRUE(shown.frames[i] == expected[i].frame) << "copied frame " << i;
      ++copied;
    } else {
      EXPECT_GE(quality, 40.0) << "re-encoded frame " << i;
    }
  }
  EXPECT_GT(copied, 0);

  // The sound of each segment is its take's, within 11 ms of the picture.
  movieStart = 0;
  for (const Segment& segment : segments) {
    double length = segment.end - segment.start;
    double window = std::min(0.3, length - 0.1);
    if (window >= 0.1) {
      if (segment.source->shown.audio.empty()) {
        EXPECT_LT(loudness(shown.audio, movieStart + 0.05, window), 30.0)
            << "silence at " << movieStart;
      } else {
        double correlation = 0;
        double lag = soundLag(shown.audio, movieStart + 0.05, segment.source->shown.audio,
                              segment.start + 0.05, window, correlation);
        EXPECT_GT(correlation, 0.8) << "sound at " << movieStart;
        EXPECT_LE(std::fabs(lag), 0.011) << "sound at " << movieStart;
      }
    }
    movieStart += length;
  }
  // Sound for the whole movie, up to one AAC packet short at its end.
  EXPECT_NEAR(static_cast<double>(shown.audio.size()) / 48000, total, 0.03);
}

void checkMovie(const fs::path& movie, const std::vector<Segment>& segments) {
  for (const auto& edits : testing::editLists(movie))
    EXPECT_LE(edits.size(), 1u);
  checkShown("ffmpeg", testing::showWithFfmpeg(movie), segments);
  checkShown("gstreamer", testing::showWithGstreamer(movie), segments);
}

Source sourceOf(const fs::path& take, double period) {
  Source source;
  source.shown = testing::showWithFfmpeg(take);
  source.packets = testing::packets(take, 'v');
  source.period = period;
  return source;
}

class SmartCutTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    root_ = new fs::path(testing::makeTemporaryFolder("smart-cut"));
    fs::create_directories(takes());
  }
  static void TearDownTestSuite() {
    fs::remove_all(*root_);
    delete root_;
  }
  static fs::path takes() { return *root_ / "session" / "takes"; }
  fs::path movie(const std::string& name) const { return *root_ / name; }

  static fs::path* root_;
};

fs::path* SmartCutTest::root_ = nullptr;

TEST_F(SmartCutTest, BFrameTakesCutAtNonKeyFramesJoinFrameExactInBothReaders) {
  testing::TakeSpec first;
  first.seconds = 3;
  first.keyInterval = 24;
  first.bFrames = 3;
  first.toneHz = 1;
  testing::makeTake(takes() / "b-1.mov", first);
  testing::TakeSpec silent = first;
  silent.seconds = 2;
  silent.pattern = "testsrc2";
  silent.audio = false;
  testing::makeTake(takes() / "b-2.mov", silent);
  testing::TakeSpec third = first;
  third.seconds = 2;
  third.toneHz = 3;
  third.pattern = "testsrc2";
  testing::makeTake(takes() / "b-3.mov", third);
  Source a = sourceOf(takes() / "b-1.mov", 1.0 / 24);
  Source b = sourceOf(takes() / "b-2.mov", 1.0 / 24);
  Source c = sourceOf(takes() / "b-3.mov", 1.0 / 24);

  // Five segments: cuts between key frames, a take without sound between
  // two with sound, a trim to the take's end, a one-frame trim (trims are
  // on the boundaries of 1/60 s frames).
  std::vector<Take> selected = {
      takeOf("b-1.mov", 4, 0.3, 2.6), takeOf("b-2.mov", 4, 0.55, 1.7),
      takeOf("b-3.mov", 4, 0.1, 2.0), takeOf("b-1.mov", 4, 1.5, 1.5 + 2.0 / 60),
      takeOf("b-3.mov", 4, 1.2, 1.9),
  };
  ExportStatistics statistics;
  ASSERT_EQ(exported(selected, takes(), movie("b-frames.mov"), &statistics), "");
  std::vector<Segment> segments = {
      {&a, 0.3, 2.6}, {&b, 0.55, 1.7}, {&c, 0.1, 2.0}, {&a, 1.5, 1.5 + 2.0 / 60}, {&c, 1.2, 1.9}};
  checkMovie(movie("b-frames.mov"), segments);
  // Only the frames up to the next key frame (and before a trim end, those
  // that need a frame shown after it) were encoded again.
  ASSERT_EQ(statistics.reencodedFrames.size(), 5u);
  EXPECT_LE(statistics.reencodedFrames[0], 24 + 3);
  EXPECT_EQ(statistics.reencodedFrames[3], 1);

  // With chapters and even loudness both readers still show these frames,
  // and the sound keeps its place at every join.
  ExportOptions options{{"A", "B", "C", "D", "E"}, true};
  ASSERT_EQ(exported(selected, takes(), movie("even.mov"), nullptr, options), "");
  checkMovie(movie("even.mov"), segments);
}

TEST_F(SmartCutTest, OwnTakesWithStillFramesCutInsideThemKeepOneDescription) {
  // Slides: frames only when the picture changes.
  testing::makeOwnTake(takes() / "own-1.mov", 320, 240, {0, 0.4, 1.7, 1.75, 1.8, 2.6}, 3.2, 7);
  testing::makeOwnTake(takes() / "own-2.mov", 320, 240, {0, 1.1, 1.2, 2.3}, 3.0, 11);
  Source a = sourceOf(takes() / "own-1.mov", 1.0 / 60);
  Source b = sourceOf(takes() / "own-2.mov", 1.0 / 60);
  ASSERT_GE(a.shown.times.size(), 6u) << a.shown.duration;
  ASSERT_GE(b.shown.times.size(), 4u) << b.shown.duration;

  // The last segment starts at a key frame: copied frames and re-encoded
  // ones share the track.
  std::vector<Take> selected = {takeOf("own-1.mov", 4, 0.9, 2.2), takeOf("own-2.mov", 4, 0.5, 2.9),
                                takeOf("own-1.mov", 4, 2.0, 3.2), takeOf("own-2.mov", 4, 0, 1.15)};
  ASSERT_EQ(exported(selected, takes(), movie("own.mov")), "");
  checkMovie(movie("own.mov"), {{&a, 0.9, 2.2}, {&b, 0.5, 2.9}, {&a, 2.0, 3.2}, {&b, 0, 1.15}});
  // Re-encoded frames share the takes' parameter sets: one description
  // per track, with the colour box of BT.709 limited range.
  EXPECT_EQ(descriptionCounts(movie("own.mov")), (std::vector<int>{1, 1}));
  std::string bytes = testing::readFile(movie("own.mov"));
  EXPECT_NE(bytes.find(std::string("colrnclx\0\1\0\1\0\1\0", 15)), std::string::npos);

  // Takes written before their headers were stitchable carry the rate
  // factor's quantiser in their parameter sets; cuts of them still keep
  // one description.
  testing::makeOwnTake(takes() / "old-1.mov", 320, 240, {0, 0.4, 1.7, 2.6}, 3.2, 5, false);
  testing::makeOwnTake(takes() / "old-2.mov", 320, 240, {0, 1.1, 2.3}, 3.0, 13, false);
  Source c = sourceOf(takes() / "old-1.mov", 1.0 / 60);
  Source d = sourceOf(takes() / "old-2.mov", 1.0 / 60);
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

TEST_F(SmartCutTest, TakeOfAnotherSizeIsLetterboxedAndAnotherRateConverted) {
  testing::TakeSpec first;
  first.seconds = 2;
  first.toneHz = 5;
  testing::makeTake(takes() / "size-1.mov", first);
  testing::TakeSpec small = first;
  small.width = 256;
  small.height = 144;
  small.toneHz = 6;
  testing::makeTake(takes() / "size-2.mov", small);
  testing::TakeSpec cd = first;
  cd.sampleRate = 44100;
  cd.toneHz = 8;
  cd.pattern = "testsrc2";
  testing::makeTake(takes() / "size-3.mov", cd);
  Source a = sourceOf(takes() / "size-1.mov", 1.0 / 24);
  Source b = sourceOf(takes() / "size-2.mov", 1.0 / 24);
  Source c = sourceOf(takes() / "size-3.mov", 1.0 / 24);

  std::vector<Take> selected = {takeOf("size-1.mov", 4, 0, 1.3), takeOf("size-2.mov", 4, 0.4, 1.5),
                                takeOf("size-3.mov", 4, 0.7, 1.9)};
  ASSERT_EQ(exported(selected, takes(), movie("sizes.mov")), "");
  checkMovie(movie("sizes.mov"), {{&a, 0, 1.3}, {&b, 0.4, 1.5, true}, {&c, 0.7, 1.9}});
  ShownMovie shown = testing::showWithFfmpeg(movie("sizes.mov"));
  EXPECT_EQ(shown.width, 320);
  EXPECT_EQ(shown.height, 240);
  EXPECT_EQ(testing::frameSizes(movie("sizes.mov")),
            std::vector<std::string>(shown.times.size(), "320x240"));
}

} // namespace
} // namespace vidorel
