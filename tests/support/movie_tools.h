#pragma once

// Makes take files with the ffmpeg command and reads movies back with
// ffmpeg and ffprobe, so exports are checked by readers of their own.

#include "fakes/shell_command.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

namespace vidorel::testing {

struct TakeSpec {
  double seconds = 4;
  int width = 320;
  int height = 240;
  int rate = 24;
  // testsrc or testsrc2: two patterns with a visible frame counter each,
  // so takes differ.
  std::string pattern = "testsrc";
  bool audio = true;
  // Seed of the take's sound, pink noise: no two stretches alike, so the
  // sound can be matched to its source time.
  int toneHz = 440;
  double amplitude = 0.3;
  int sampleRate = 48000;
  // x264 key-frame interval and B-frames (0: ffmpeg's defaults).
  int keyInterval = 0;
  int bFrames = 0;
};

// An H.264 + AAC stereo QuickTime take.
void makeTake(const std::filesystem::path& file, const TakeSpec& recipe);

// A slide-like take written by the take writer: a frame only when the
// picture changes, at the given times (seconds), with pink noise as sound.
// Without stitchable headers, or without the constant rate (frames at their
// own times), it is written as earlier versions wrote takes.
void makeOwnTake(const std::filesystem::path& file, int width, int height,
                 const std::vector<double>& frames, double seconds, unsigned seed,
                 bool stitchableHeaders = true, bool constantRate = true);

struct Packet {
  double pts = 0;
  double dts = 0;
  bool key = false;
  std::string hash;
  int size = 0; // bytes
};

// Packets of the first stream of a type ('v' or 'a') in file order, with an
// MD5 of each packet's bytes. With storedOnly, the samples as the sample
// tables list them, edit lists not applied (ffmpeg otherwise lists packets
// it reads again for a later edit).
std::vector<Packet> packets(const std::filesystem::path& file, char type, bool storedOnly = false);

// Width x height of every decoded video frame ("320x240").
std::vector<std::string> frameSizes(const std::filesystem::path& file);

// Duration of the movie as ffprobe reports it.
double movieDuration(const std::filesystem::path& file);

// The decoded audio, mixed to one channel at 48 kHz.
std::vector<short> decodedAudio(const std::filesystem::path& file);

struct Edit {
  long long duration = 0;
  long long mediaTime = 0;
  bool operator==(const Edit&) const = default;
};
// The edit list of each track, in track order, read from the file's boxes
// (ffmpeg and ffprobe do not show them).
std::vector<std::vector<Edit>> editLists(const std::filesystem::path& file);

// What a reader shows of a movie: decoded frames (I420, as the bytes of
// each frame) with their presentation times, the sound as 48 kHz mono, and
// the duration it reports.
struct ShownMovie {
  std::vector<double> times; // seconds
  std::vector<std::string> frames;
  int width = 0;
  int height = 0;
  std::vector<short> audio; // sample 0 at time 0
  double duration = 0;
};

// Read by FFmpeg (the ffmpeg and ffprobe commands).
ShownMovie showWithFfmpeg(const std::filesystem::path& file);
// Read by GStreamer (uridecodebin, times as running times of the segment).
ShownMovie showWithGstreamer(const std::filesystem::path& file);

// Peak signal-to-noise ratio of the luma of two I420 frames (infinite when
// equal).
double psnr(const std::string& a, const std::string& b, int width, int height);

// ffprobe's view of a movie (-show_streams -show_format as JSON; with
// countFrames each stream's nb_read_frames too); null when it reads none.
nlohmann::json probeMovie(const std::filesystem::path& file, bool countFrames = false);

// How far a reader decodes a movie: its pictures, and where the last
// picture and the last sound end (seconds).
struct DecodedEnds {
  int videoFrames = 0;
  double videoEnd = 0;
  double audioEnd = 0;
};
DecodedEnds decodeEndsWithFfmpeg(const std::filesystem::path& file);
// GStreamer's uridecodebin, the path of playbin.
DecodedEnds decodeEndsWithGstreamer(const std::filesystem::path& file);

// The length GStreamer's discoverer states (seconds); -1 when it states none.
double gstreamerLength(const std::filesystem::path& file);

// The top-level boxes of a QuickTime file in file order, and where one of
// them is in that list (-1: absent).
std::vector<std::string> topLevelBoxes(const std::filesystem::path& file);
std::ptrdiff_t boxIndex(const std::vector<std::string>& boxes, const std::string& type);

// Whether a movie plays for both readers: ffprobe finds a duration and
// decodes frames, gst-discoverer finds a duration and a video stream.
struct MovieReading {
  bool ffmpegReads = false;
  bool gstreamerReads = false;
  double duration = 0; // as ffprobe reports it
  double gstreamerDuration = 0;
  std::string detail;
  bool plays() const { return ffmpegReads && gstreamerReads && duration > 0; }
};
MovieReading readMovie(const std::filesystem::path& file);

// One decoded picture as packed RGB: the one shown at `seconds`, or the
// movie's last (every frame decoded: a still screen ends a take with one
// long frame, which a seek near the end would skip).
std::string rgbFrameAt(const std::filesystem::path& file, double seconds);
std::string lastRgbFrame(const std::filesystem::path& file, std::size_t frameBytes);

} // namespace vidorel::testing
