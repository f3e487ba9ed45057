#pragma once

// Makes take files with the ffmpeg command and reads movies back with
// ffmpeg and ffprobe, so exports are checked by readers of their own.

#include <filesystem>
#include <string>
#include <vector>

namespace vidorel::testing {

struct CommandResult {
  int status = -1;
  std::string output; // standard output
};

// Runs a shell command; standard error is discarded unless asked for.
CommandResult runCommand(const std::string& command);

struct TakeSpec {
  double seconds = 4;
  int width = 320;
  int height = 240;
  int rate = 24;
  // testsrc or testsrc2: two patterns with a visible frame counter each,
  // so takes differ.
  std::string pattern = "testsrc";
  bool audio = true;
  int toneHz = 440;
};

// An H.264 (default key-frame interval) + AAC 48 kHz stereo QuickTime take.
void makeTake(const std::filesystem::path& file, const TakeSpec& spec);

struct Packet {
  double pts = 0;
  double dts = 0;
  bool key = false;
  std::string hash;
};

// Packets of the first stream of a type ('v' or 'a') in file order, with an
// MD5 of each packet's bytes. With storedOnly, the samples as the sample
// tables list them, edit lists not applied (ffmpeg otherwise lists packets
// it reads again for a later edit).
std::vector<Packet> packets(const std::filesystem::path& file, char type, bool storedOnly = false);

// MD5 of every decoded video frame, in presentation order.
std::vector<std::string> frameHashes(const std::filesystem::path& file);

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

// A fresh folder under the system's temporary folder, removed by the caller.
std::filesystem::path makeTemporaryFolder(const std::string& label);

} // namespace vidorel::testing
