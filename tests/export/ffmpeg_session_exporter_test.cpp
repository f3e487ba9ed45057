#include "export/ffmpeg_session_exporter.h"

#include "base/virtual_main_loop.h"
#include "export/movie_tools.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace vidorel {
namespace {
namespace fs = std::filesystem;
using testing::Packet;

constexpr double kFrame = 1.0 / 24;

Take takeOf(const std::string& filename, double trimStart, double trimEnd) {
  Take take = Take::make(Uuid::random(), filename, 4, Timestamp{});
  take.trimStart = trimStart;
  take.trimEnd = trimEnd;
  return take;
}

std::string contentsOf(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The packets a segment must carry: decode order from the last key frame
// shown at or before start, through the last packet shown before end.
std::vector<Packet> expectedRun(const std::vector<Packet>& source, double start, double end) {
  size_t first = 0;
  for (size_t i = 0; i < source.size(); ++i) {
    if (source[i].key && source[i].pts <= start + 1e-9)
      first = i;
  }
  size_t last = first;
  for (size_t i = first; i < source.size(); ++i) {
    if (source[i].pts < end - 1e-9)
      last = i;
  }
  return std::vector<Packet>(source.begin() + static_cast<std::ptrdiff_t>(first),
                             source.begin() + static_cast<std::ptrdiff_t>(last) + 1);
}

std::vector<std::string> hashesOf(const std::vector<Packet>& packets) {
  std::vector<std::string> hashes;
  for (const Packet& packet : packets)
    hashes.push_back(packet.hash);
  return hashes;
}

std::vector<std::string> slice(const std::vector<std::string>& frames, size_t from, size_t to) {
  return std::vector<std::string>(frames.begin() + static_cast<std::ptrdiff_t>(from),
                                  frames.begin() + static_cast<std::ptrdiff_t>(to));
}

class FfmpegSessionExporterTest : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    root_ = new fs::path(testing::makeTemporaryFolder("export"));
    fs::create_directories(takes() / "");
    testing::TakeSpec first;
    testing::makeTake(takes() / "scene-1-take-1.mov", first);
    testing::TakeSpec second;
    second.seconds = 3;
    second.pattern = "testsrc2";
    second.toneHz = 880;
    testing::makeTake(takes() / "scene-2-take-1.mov", second);
    testing::TakeSpec silent;
    silent.seconds = 2;
    silent.audio = false;
    silent.pattern = "testsrc2";
    testing::makeTake(takes() / "scene-3-take-1.mov", silent);
    testing::TakeSpec small;
    small.seconds = 2;
    small.width = 256;
    small.height = 144;
    testing::makeTake(takes() / "scene-4-take-1.mov", small);
  }
  static void TearDownTestSuite() {
    fs::remove_all(*root_);
    delete root_;
  }
  void SetUp() override {
    out_ = root_->parent_path() / (root_->filename().string() + "-out");
    fs::create_directories(out_);
  }
  void TearDown() override { fs::remove_all(out_); }

  static fs::path takes() { return *root_ / "takes"; }
  static fs::path take(int scene) {
    return takes() / ("scene-" + std::to_string(scene) + "-take-1.mov");
  }

  // Files in the output folder other than the movie itself.
  std::vector<std::string> strayFiles(const fs::path& movie) const {
    std::vector<std::string> stray;
    for (const auto& entry : fs::directory_iterator(out_)) {
      if (entry.path() != movie)
        stray.push_back(entry.path().filename().string());
    }
    return stray;
  }

  static fs::path* root_;
  fs::path out_;
};

fs::path* FfmpegSessionExporterTest::root_ = nullptr;

TEST_F(FfmpegSessionExporterTest, CutsAtAnyFrameAndCopiesPacketsUnchanged) {
  fs::path movie = out_ / "movie.mov";
  std::vector<Take> selected = {takeOf("scene-1-take-1.mov", 1.0, 3.5),
                                takeOf("scene-2-take-1.mov", 0.25, 2.0)};
  ASSERT_EQ(exportMovie(selected, takes(), movie), std::nullopt);

  EXPECT_NEAR(testing::movieDuration(movie), 4.25, kFrame);

  // Decoded by ffmpeg: exactly the frames of both ranges, in order.
  std::vector<std::string> first = testing::frameHashes(take(1));
  std::vector<std::string> second = testing::frameHashes(take(2));
  ASSERT_EQ(first.size(), 96u);
  ASSERT_EQ(second.size(), 72u);
  std::vector<std::string> expected = slice(first, 24, 84);
  for (const std::string& hash : slice(second, 6, 48))
    expected.push_back(hash);
  std::vector<std::string> frames = testing::frameHashes(movie);
  EXPECT_EQ(frames, expected);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.front(), first[24]);
  EXPECT_EQ(frames[60], second[6]);

  // Every video and audio packet is a source packet, byte for byte, in the
  // runs each segment needs.
  std::vector<std::string> videoExpected =
      hashesOf(expectedRun(testing::packets(take(1), 'v'), 1.0, 3.5));
  for (const std::string& hash : hashesOf(expectedRun(testing::packets(take(2), 'v'), 0.25, 2.0)))
    videoExpected.push_back(hash);
  EXPECT_EQ(hashesOf(testing::packets(movie, 'v', true)), videoExpected);

  std::vector<Packet> firstAudio = testing::packets(take(1), 'a');
  std::vector<Packet> secondAudio = testing::packets(take(2), 'a');
  std::vector<std::string> audio = hashesOf(testing::packets(movie, 'a', true));
  // One packet of pre-roll before the packet holding each trim start,
  // through the packet holding each trim end.
  std::vector<std::string> audioExpected;
  for (const Packet& packet : firstAudio) {
    if (packet.pts + 1024 / 48000.0 > 1.0 - 1024 / 48000.0 && packet.pts < 3.5)
      audioExpected.push_back(packet.hash);
  }
  for (const Packet& packet : secondAudio) {
    if (packet.pts + 1024 / 48000.0 > 0.25 - 1024 / 48000.0 && packet.pts < 2.0)
      audioExpected.push_back(packet.hash);
  }
  EXPECT_EQ(audio, audioExpected);

  EXPECT_EQ(strayFiles(movie), std::vector<std::string>{});
}

// The largest difference between the movie's decoded audio and the source's
// from sourceStart (samples at 48 kHz), over count samples.
int largestDifference(const std::vector<short>& movie, size_t movieStart,
                      const std::vector<short>& source, size_t sourceStart, size_t count) {
  int largest = 0;
  for (size_t i = 0; i < count; ++i)
    largest = std::max(largest, std::abs(movie.at(movieStart + i) - source.at(sourceStart + i)));
  return largest;
}

TEST_F(FfmpegSessionExporterTest, AudioOfEverySegmentStartsExactlyAtItsTrimStart) {
  std::vector<short> source = testing::decodedAudio(take(1));

  // At the take's start the encoder's priming is skipped, no more, no less.
  fs::path whole = out_ / "whole.mov";
  ASSERT_EQ(exportMovie({takeOf("scene-1-take-1.mov", 0, 4)}, takes(), whole), std::nullopt);
  std::vector<short> audio = testing::decodedAudio(whole);
  EXPECT_NEAR(static_cast<double>(audio.size()), 4 * 48000, 1024);
  EXPECT_LE(largestDifference(audio, 0, source, 0, 48000), 2);

  // Cut inside an audio packet: the decoder gets its pre-roll and the edit
  // starts at the very sample.
  fs::path cut = out_ / "cut.mov";
  ASSERT_EQ(exportMovie({takeOf("scene-1-take-1.mov", 1.25, 3.0)}, takes(), cut), std::nullopt);
  audio = testing::decodedAudio(cut);
  EXPECT_LE(largestDifference(audio, 0, source, 60000, 24000), 2);
  EXPECT_GT(largestDifference(audio, 0, source, 60000 + 24, 24000), 100);
  EXPECT_GT(largestDifference(audio, 24, source, 60000, 24000), 100);

  // The second segment's audio edit begins with the second take's priming
  // and pre-roll hidden: one edit per segment, each exactly its length.
  fs::path joined = out_ / "joined.mov";
  std::vector<Take> selected = {takeOf("scene-1-take-1.mov", 1.0, 3.5),
                                takeOf("scene-2-take-1.mov", 0, 2.0)};
  ASSERT_EQ(exportMovie(selected, takes(), joined), std::nullopt);
  std::vector<std::vector<testing::Edit>> edits = testing::editLists(joined);
  ASSERT_EQ(edits.size(), 2u);
  ASSERT_EQ(edits[1].size(), 2u);
  EXPECT_EQ(edits[1][0].duration, 1500);
  EXPECT_EQ(edits[1][1].duration, 1200);
  // Pre-roll of one packet before 1.0 s: the edit skips it exactly.
  EXPECT_EQ(edits[1][0].mediaTime, 48000 - (48000 / 1024) * 1024 + 1024);
  std::vector<testing::Packet> stored = testing::packets(joined, 'a', true);
  size_t firstSegmentPackets = 0;
  for (const testing::Packet& packet : testing::packets(take(1), 'a')) {
    if (packet.pts + 1024 / 48000.0 > 1.0 - 1024 / 48000.0 && packet.pts < 3.5)
      ++firstSegmentPackets;
  }
  // Take 2 from its start: the priming packet is its pre-roll, skipped by
  // 1024 samples past the start of the segment's media.
  EXPECT_EQ(edits[1][1].mediaTime, static_cast<long long>(firstSegmentPackets) * 1024 + 1024);
  EXPECT_EQ(stored.size(), firstSegmentPackets + 95);
}

TEST_F(FfmpegSessionExporterTest, TakeWithoutAudioLeavesASilentGapOfItsLength) {
  fs::path movie = out_ / "gap.mov";
  std::vector<Take> selected = {takeOf("scene-1-take-1.mov", 0, 2),
                                takeOf("scene-3-take-1.mov", 0.5, 1.5),
                                takeOf("scene-2-take-1.mov", 0, 1)};
  ASSERT_EQ(exportMovie(selected, takes(), movie), std::nullopt);
  EXPECT_NEAR(testing::movieDuration(movie), 4.0, kFrame);

  std::vector<std::string> expected = slice(testing::frameHashes(take(1)), 0, 48);
  for (const std::string& hash : slice(testing::frameHashes(take(3)), 12, 36))
    expected.push_back(hash);
  for (const std::string& hash : slice(testing::frameHashes(take(2)), 0, 24))
    expected.push_back(hash);
  EXPECT_EQ(testing::frameHashes(movie), expected);

  std::vector<std::vector<testing::Edit>> edits = testing::editLists(movie);
  ASSERT_EQ(edits.size(), 2u);
  ASSERT_EQ(edits[1].size(), 3u);
  EXPECT_EQ(edits[1][0].duration, 1200);
  EXPECT_EQ(edits[1][0].mediaTime, 1024);
  EXPECT_EQ(edits[1][1], (testing::Edit{600, -1}));
  EXPECT_EQ(edits[1][2].duration, 600);
  // The video track shows all three segments without a gap.
  ASSERT_EQ(edits[0].size(), 3u);
  for (const testing::Edit& edit : edits[0])
    EXPECT_GE(edit.mediaTime, 0);
}

TEST_F(FfmpegSessionExporterTest, TakeWithoutVideoLeavesAGapInTheVideoTrack) {
  fs::path movie = out_ / "sound.mov";
  fs::path soundOnly = takes() / "sound-only.mov";
  ASSERT_EQ(testing::runCommand("ffmpeg -nostdin -v error -y -i '" + take(2).string() +
                                "' -vn -c copy '" + soundOnly.string() + "'")
                .status,
            0);
  std::vector<Take> selected = {takeOf("sound-only.mov", 0, 1.5),
                                takeOf("scene-1-take-1.mov", 0, 1)};
  ASSERT_EQ(exportMovie(selected, takes(), movie), std::nullopt);
  fs::remove(soundOnly);
  std::vector<std::vector<testing::Edit>> edits = testing::editLists(movie);
  ASSERT_EQ(edits.size(), 2u);
  ASSERT_EQ(edits[0].size(), 2u);
  EXPECT_EQ(edits[0][0], (testing::Edit{900, -1}));
  EXPECT_EQ(edits[0][1].duration, 600);
  EXPECT_EQ(edits[1].size(), 2u);
  EXPECT_NEAR(testing::movieDuration(movie), 2.5, kFrame);
  EXPECT_EQ(testing::frameHashes(movie), slice(testing::frameHashes(take(1)), 0, 24));
}

TEST_F(FfmpegSessionExporterTest, TakesOfAnotherSizeGetTheirOwnSampleDescription) {
  fs::path movie = out_ / "sizes.mov";
  std::vector<Take> selected = {takeOf("scene-1-take-1.mov", 0.5, 1.5),
                                takeOf("scene-4-take-1.mov", 0, 1)};
  ASSERT_EQ(exportMovie(selected, takes(), movie), std::nullopt);
  std::vector<std::string> sizes = testing::frameSizes(movie);
  std::vector<std::string> expected(24, "320x240");
  expected.insert(expected.end(), 24, "256x144");
  EXPECT_EQ(sizes, expected);
}

TEST_F(FfmpegSessionExporterTest, MissingTakeFileFailsWithThePlatformText) {
  fs::path movie = out_ / "movie.mov";
  std::vector<Take> selected = {takeOf("scene-1-take-1.mov", 0, 1),
                                takeOf("scene-9-take-1.mov", 0, 1)};
  std::optional<ExportFailure> failure = exportMovie(selected, takes(), movie);
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->error(), std::nullopt);
  EXPECT_EQ(failure->description(),
            (takes() / "scene-9-take-1.mov").string() + ": No such file or directory");
  EXPECT_FALSE(fs::exists(movie));
  EXPECT_EQ(strayFiles(movie), std::vector<std::string>{});
}

TEST_F(FfmpegSessionExporterTest, ExistingDestinationIsReplacedOnSuccessAndKeptOnFailure) {
  fs::path movie = out_ / "movie.mov";
  {
    std::ofstream old(movie);
    old << "an older movie";
  }
  std::vector<Take> broken = {takeOf("scene-1-take-1.mov", 0, 1), takeOf("missing.mov", 0, 1)};
  ASSERT_TRUE(exportMovie(broken, takes(), movie).has_value());
  EXPECT_EQ(contentsOf(movie), "an older movie");
  EXPECT_EQ(strayFiles(movie), std::vector<std::string>{});

  ASSERT_EQ(exportMovie({takeOf("scene-1-take-1.mov", 0, 1)}, takes(), movie), std::nullopt);
  EXPECT_EQ(testing::frameHashes(movie).size(), 24u);
  EXPECT_EQ(strayFiles(movie), std::vector<std::string>{});
}

TEST_F(FfmpegSessionExporterTest, RefusesDestinationsInsideTheSession) {
  std::string before = contentsOf(take(1));
  std::vector<Take> selected = {takeOf("scene-1-take-1.mov", 0, 1)};
  const ExportFailure refused = ExportFailure::own(ExportError::destinationInsideSession);
  EXPECT_EQ(exportMovie(selected, takes(), take(1)), refused);
  EXPECT_EQ(exportMovie(selected, takes(), *root_ / "movie.mov"), refused);
  EXPECT_EQ(exportMovie(selected, takes(), takes() / "new.mov"), refused);
  // Through a link from outside the session.
  fs::create_symlink(take(1), out_ / "link.mov");
  EXPECT_EQ(exportMovie(selected, takes(), out_ / "link.mov"), refused);
  fs::create_hard_link(take(1), out_ / "hard.mov");
  EXPECT_EQ(exportMovie(selected, takes(), out_ / "hard.mov"), refused);
  EXPECT_EQ(contentsOf(take(1)), before);
  EXPECT_FALSE(fs::exists(*root_ / "movie.mov"));
  EXPECT_FALSE(fs::exists(takes() / "new.mov"));
}

TEST_F(FfmpegSessionExporterTest, NothingToShowFailsAsExportFailed) {
  fs::path movie = out_ / "movie.mov";
  std::vector<Take> empty = {takeOf("scene-1-take-1.mov", 2, 2)};
  EXPECT_EQ(exportMovie(empty, takes(), movie), ExportFailure::own(ExportError::exportFailed));
  EXPECT_FALSE(fs::exists(movie));
  EXPECT_EQ(strayFiles(movie), std::vector<std::string>{});
}

TEST_F(FfmpegSessionExporterTest, UnwritableDestinationFolderFailsWithThePlatformText) {
  fs::path movie = out_ / "no-such-folder" / "movie.mov";
  std::optional<ExportFailure> failure =
      exportMovie({takeOf("scene-1-take-1.mov", 0, 1)}, takes(), movie);
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->description(), movie.string() + ": No such file or directory");
}

struct Outcome {
  bool done = false;
  std::optional<ExportFailure> failure;
};

// Paths passed as temporaries, as the export flow passes them.
Task<void> exportOneSecond(SessionExporter& exporter, fs::path takes, fs::path destination,
                           Outcome& into) {
  std::vector<Take> selected = {takeOf("scene-1-take-1.mov", 0.5, 1.5)};
  into.failure = co_await exporter.exportTakes(selected, takes, destination);
  into.done = true;
}

TEST_F(FfmpegSessionExporterTest, ExportTakesResumesOnTheMainLoopWithTheResult) {
  VirtualMainLoop loop;
  Outcome first, inside;
  {
    FfmpegSessionExporter exporter(loop);
    spawn(exportOneSecond(exporter, takes(), out_ / "first.mov", first));
    spawn(exportOneSecond(exporter, takes(), takes() / "inside.mov", inside));
    for (int i = 0; i < 20000 && !(first.done && inside.done); ++i) {
      loop.runUntilIdle();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  ASSERT_TRUE(first.done);
  ASSERT_TRUE(inside.done);
  EXPECT_EQ(first.failure, std::nullopt);
  EXPECT_EQ(inside.failure, ExportFailure::own(ExportError::destinationInsideSession));
  EXPECT_EQ(testing::frameHashes(out_ / "first.mov").size(), 24u);
}

} // namespace
} // namespace vidorel
