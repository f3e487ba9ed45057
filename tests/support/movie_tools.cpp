#include "support/movie_tools.h"
#include "support/synthetic_media.h"
#include "support/temporary_folder.h"

#include "capture/ffmpeg_take_writer.h"
#include "store/duration_probe.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace vidorel::testing {
namespace fs = std::filesystem;

namespace {

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty())
      result.push_back(line);
  }
  return result;
}

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> result;
  std::istringstream in(line);
  std::string field;
  while (std::getline(in, field, ','))
    result.push_back(field);
  return result;
}

CommandResult checked(const std::string& command) {
  CommandResult result = runCommand(command);
  if (result.status != 0)
    throw std::runtime_error("command failed: " + command);
  return result;
}

} // namespace

void makeTake(const fs::path& file, const TakeSpec& recipe) {
  std::ostringstream command;
  command << "ffmpeg -nostdin -v error -y -f lavfi -i " << recipe.pattern
          << "=size=" << recipe.width << "x" << recipe.height << ":rate=" << recipe.rate
          << ":duration=" << recipe.seconds;
  if (recipe.audio) {
    command << " -f lavfi -i anoisesrc=color=pink:amplitude=" << recipe.amplitude
            << ":seed=" << recipe.toneHz << ":sample_rate=" << recipe.sampleRate
            << ":duration=" << recipe.seconds;
  }
  command << " -c:v libx264 -preset veryfast -pix_fmt yuv420p";
  if (recipe.keyInterval > 0)
    command << " -g " << recipe.keyInterval;
  if (recipe.bFrames > 0)
    command << " -bf " << recipe.bFrames;
  if (recipe.audio)
    command << " -c:a aac -b:a 128k -ac 2";
  command << " " << shellQuoted(file) << " 2>&1";
  checked(command.str());
}

std::vector<Packet> packets(const fs::path& file, char type, bool storedOnly) {
  std::string command = std::string("ffprobe -v error ") +
                        (storedOnly ? "-ignore_editlist 1 " : "") + "-select_streams " + type +
                        ":0 -show_data_hash MD5 -show_entries packet=pts_time,dts_time,size,"
                        "flags,data_hash -of csv=p=0 " +
                        shellQuoted(file);
  std::vector<Packet> result;
  for (const std::string& line : lines(checked(command).output)) {
    std::vector<std::string> parts = fields(line);
    if (parts.size() < 5)
      continue;
    Packet packet;
    packet.pts = parts[0] == "N/A" ? 0 : std::stod(parts[0]);
    packet.dts = parts[1] == "N/A" ? packet.pts : std::stod(parts[1]);
    packet.size = std::stoi(parts[2]);
    packet.key = parts[3].find('K') != std::string::npos;
    packet.hash = parts[4];
    result.push_back(packet);
  }
  return result;
}

std::vector<std::string> frameSizes(const fs::path& file) {
  std::string command = "ffprobe -v error -select_streams v:0 -show_entries frame=width,height "
                        "-of csv=p=0 " +
                        shellQuoted(file);
  std::vector<std::string> result;
  for (const std::string& line : lines(checked(command).output)) {
    std::vector<std::string> parts = fields(line);
    if (parts.size() >= 2)
      result.push_back(parts[0] + "x" + parts[1]);
  }
  return result;
}

double movieDuration(const fs::path& file) {
  std::string command =
      "ffprobe -v error -show_entries format=duration -of csv=p=0 " + shellQuoted(file);
  return std::stod(checked(command).output);
}

std::vector<short> decodedAudio(const fs::path& file) {
  std::string command =
      "ffmpeg -nostdin -v error -i " + shellQuoted(file) + " -map 0:a:0 -f s16le -ac 1 -ar 48000 -";
  std::string bytes = checked(command).output;
  std::vector<short> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

namespace {

std::uint64_t bigEndian(const std::string& bytes, size_t at, int count) {
  std::uint64_t value = 0;
  for (int i = 0; i < count; ++i)
    value = (value << 8) | static_cast<unsigned char>(bytes.at(at + static_cast<size_t>(i)));
  return value;
}

void collectEdits(const std::string& bytes, size_t begin, size_t end,
                  std::vector<std::vector<Edit>>& lists) {
  size_t at = begin;
  while (at + 8 <= end) {
    std::uint64_t size = bigEndian(bytes, at, 4);
    std::string type = bytes.substr(at + 4, 4);
    size_t header = 8;
    if (size == 1) {
      size = bigEndian(bytes, at + 8, 8);
      header = 16;
    }
    if (size < header || at + size > end)
      throw std::runtime_error("bad box " + type);
    if (type == "moov" || type == "trak" || type == "edts") {
      if (type == "trak")
        lists.emplace_back();
      collectEdits(bytes, at + header, at + size, lists);
    } else if (type == "elst") {
      size_t body = at + header;
      int version = static_cast<unsigned char>(bytes.at(body));
      std::uint64_t count = bigEndian(bytes, body + 4, 4);
      size_t entry = body + 8;
      for (std::uint64_t i = 0; i < count; ++i) {
        Edit edit;
        int width = version == 1 ? 8 : 4;
        edit.duration = static_cast<long long>(bigEndian(bytes, entry, width));
        std::uint64_t media = bigEndian(bytes, entry + static_cast<size_t>(width), width);
        edit.mediaTime = version == 1 ? static_cast<long long>(media)
                                      : static_cast<long long>(static_cast<std::int32_t>(media));
        lists.back().push_back(edit);
        entry += static_cast<size_t>(2 * width + 4);
      }
    }
    at += size;
  }
}

} // namespace

std::vector<std::vector<Edit>> editLists(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  std::string bytes = contents.str();
  std::vector<std::vector<Edit>> lists;
  collectEdits(bytes, 0, bytes.size(), lists);
  return lists;
}

namespace {

std::string fileContents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

std::vector<std::string> splitFrames(const std::string& bytes, int width, int height) {
  std::vector<std::string> frames;
  size_t size = static_cast<size_t>(width) * static_cast<size_t>(height) * 3 / 2;
  for (size_t at = 0; size > 0 && at + size <= bytes.size(); at += size)
    frames.push_back(bytes.substr(at, size));
  return frames;
}

std::vector<short> samplesOf(const std::string& bytes) {
  std::vector<short> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

} // namespace

ShownMovie showWithFfmpeg(const fs::path& file) {
  ShownMovie shown;
  std::string command = "ffprobe -v error -select_streams v:0 -show_entries "
                        "frame=best_effort_timestamp_time,width,height -of csv=p=0:nk=0 " +
                        shellQuoted(file);
  for (const std::string& line : lines(checked(command).output)) {
    for (const std::string& field : fields(line)) {
      size_t equals = field.find('=');
      if (equals == std::string::npos)
        continue;
      std::string key = field.substr(0, equals);
      std::string value = field.substr(equals + 1);
      if (key == "width")
        shown.width = std::stoi(value);
      else if (key == "height")
        shown.height = std::stoi(value);
      else if (key == "best_effort_timestamp_time")
        shown.times.push_back(std::stod(value));
    }
  }
  std::string raw = checked("ffmpeg -nostdin -v error -i " + shellQuoted(file) +
                            " -map 0:v:0 -fps_mode passthrough -f rawvideo -pix_fmt yuv420p -")
                        .output;
  shown.frames = splitFrames(raw, shown.width, shown.height);
  if (runCommand("ffprobe -v error -select_streams a -show_entries stream=index -of csv=p=0 " +
                 shellQuoted(file))
          .output.empty())
    shown.audio.clear();
  else
    shown.audio = decodedAudio(file);
  shown.duration = movieDuration(file);
  return shown;
}

ShownMovie showWithGstreamer(const fs::path& file) {
  fs::path folder = makeTemporaryFolder("gst");
  ShownMovie shown;
  checked(std::string("/usr/bin/python3 ") + VIDOREL_GST_READER + " " + shellQuoted(file) + " " +
          shellQuoted(folder));
  for (const std::string& line : lines(fileContents(folder / "video.txt"))) {
    std::istringstream in(line);
    long long nanoseconds = 0;
    in >> nanoseconds >> shown.width >> shown.height;
    shown.times.push_back(static_cast<double>(nanoseconds) / 1e9);
  }
  shown.frames = splitFrames(fileContents(folder / "video.yuv"), shown.width, shown.height);
  shown.audio = samplesOf(fileContents(folder / "audio.raw"));
  shown.duration = std::stod(fileContents(folder / "duration.txt")) / 1e9;
  fs::remove_all(folder);
  return shown;
}

double psnr(const std::string& a, const std::string& b, int width, int height) {
  size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
  if (a.size() < count || b.size() < count)
    return 0;
  double squares = 0;
  for (size_t i = 0; i < count; ++i) {
    double difference = static_cast<unsigned char>(a[i]) - static_cast<unsigned char>(b[i]);
    squares += difference * difference;
  }
  if (squares == 0)
    return std::numeric_limits<double>::infinity();
  return 10 * std::log10(255.0 * 255.0 * static_cast<double>(count) / squares);
}

void makeOwnTake(const fs::path& file, int width, int height, const std::vector<double>& frames,
                 double seconds, unsigned seed, bool stitchableHeaders, bool constantRate) {
  constexpr CaptureTime kSecond = 1'000'000'000;
  constexpr CaptureTime kBase = 5 * kSecond;
  Logger logger;
  FfmpegDurationProbe probe;
  TakeEncoderSettings deep;
  deep.maxQueuedFrames = 100000;
  deep.maxQueuedVideoBytes = SIZE_MAX;
  deep.maxQueuedAudio = 100000;
  deep.stitchableHeaders = stitchableHeaders;
  deep.constantRate = constantRate;
  TakeWriter writer(file, makeFfmpegTakeEncoder(file, width, height, logger, deep), probe, logger);
  unsigned state = seed;
  size_t next = 0;
  for (CaptureTime t = 0; t < static_cast<CaptureTime>(seconds * kSecond); t += kSecond / 100) {
    if (next < frames.size() && t >= static_cast<CaptureTime>(frames[next] * kSecond)) {
      writer.appendVideo(syntheticFrame(width, height, static_cast<int>(next), kBase + t));
      ++next;
    }
    writer.appendAudio(syntheticSound(kBase + t, 0, &state, 48000, 2, 0.25, SampleFormat::s16));
  }
  writer.noteUnchangedFrame(kBase + static_cast<CaptureTime>(seconds * kSecond));
  writer.finish();
}

namespace {
// "0:00:05.123456789" as seconds.
double clockSeconds(const std::string& text) {
  int hours = 0, minutes = 0;
  double seconds = 0;
  std::sscanf(text.c_str(), "%d:%d:%lf", &hours, &minutes, &seconds);
  return hours * 3600 + minutes * 60 + seconds;
}
} // namespace

// GStreamer (uridecodebin, the path of playbin) decodes the take to the end.
// gst-launch prints each buffer through a property notification, which can
// be skipped when buffers follow each other too quickly; each buffer is
// therefore held for a millisecond.
DecodedEnds decodeEndsWithGstreamer(const std::filesystem::path& file) {
  std::string out = commandOutput(
      // A file without a movie in it makes uridecodebin wait forever.
      "timeout 60 gst-launch-1.0 -v uridecodebin uri='file://" + file.string() +
      "' name=d d. ! queue ! video/x-raw ! identity name=v silent=false sleep-time=1000 ! "
      "fakesink d. ! queue ! audio/x-raw ! identity name=a silent=false sleep-time=1000 ! "
      "fakesink 2>&1");
  DecodedEnds decoded;
  std::set<std::string> videoTimes;
  std::regex chain(
      R"(GstIdentity:(v|a): last-message = chain .*pts: ([0-9:.]+), duration: ([0-9:.]+))");
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (!std::regex_search(line, match, chain))
      continue;
    double end = clockSeconds(match[2]) + clockSeconds(match[3]);
    if (match[1] == "v") {
      // A buffer's message may be printed twice; each picture counts once.
      if (videoTimes.insert(match[2]).second)
        ++decoded.videoFrames;
      decoded.videoEnd = std::max(decoded.videoEnd, end);
    } else {
      decoded.audioEnd = std::max(decoded.audioEnd, end);
    }
  }
  return decoded;
}

// FFmpeg decodes every frame and sound frame of the take.
DecodedEnds decodeEndsWithFfmpeg(const std::filesystem::path& file) {
  DecodedEnds decoded;
  auto ends = [&](const char* stream, int& count) {
    std::string out = commandOutput(
        std::string("ffprobe -v quiet -select_streams ") + stream +
        " -show_entries frame=pts_time,pkt_duration_time -of csv=p=0 '" + file.string() + "'");
    std::istringstream lines(out);
    double last = 0;
    for (std::string line; std::getline(lines, line);) {
      double pts = 0, duration = 0;
      if (std::sscanf(line.c_str(), "%lf,%lf", &pts, &duration) < 1)
        continue;
      ++count;
      last = std::max(last, pts + duration);
    }
    return last;
  };
  int audioFrames = 0;
  decoded.videoEnd = ends("v", decoded.videoFrames);
  decoded.audioEnd = ends("a", audioFrames);
  return decoded;
}

// The top-level boxes of a QuickTime file, in file order.
std::vector<std::string> topLevelBoxes(const fs::path& file) {
  std::vector<std::string> boxes;
  std::ifstream in(file, std::ios::binary);
  for (;;) {
    unsigned char header[16];
    if (!in.read(reinterpret_cast<char*>(header), 8))
      break;
    std::uint64_t size =
        (std::uint64_t(header[0]) << 24) | (header[1] << 16) | (header[2] << 8) | header[3];
    std::string type(reinterpret_cast<char*>(header) + 4, 4);
    std::uint64_t headerSize = 8;
    if (size == 1) {
      if (!in.read(reinterpret_cast<char*>(header) + 8, 8))
        break;
      size = 0;
      for (int i = 8; i < 16; ++i)
        size = (size << 8) | header[i];
      headerSize = 16;
    }
    boxes.push_back(type);
    if (size == 0 || size < headerSize)
      break;
    in.seekg(static_cast<std::streamoff>(size - headerSize), std::ios::cur);
  }
  return boxes;
}

std::ptrdiff_t boxIndex(const std::vector<std::string>& boxes, const std::string& type) {
  auto at = std::find(boxes.begin(), boxes.end(), type);
  return at == boxes.end() ? -1 : at - boxes.begin();
}

// The movie's length as GStreamer states it (gst-discoverer), seconds; -1
// when it states none.
double gstreamerLength(const std::filesystem::path& file) {
  std::string discovered =
      commandOutput("gst-discoverer-1.0 " + testing::shellQuoted(file) + " 2>&1");
  std::size_t at = discovered.find("Duration: ");
  int hours = 0;
  int minutes = 0;
  double seconds = 0;
  if (at == std::string::npos ||
      std::sscanf(discovered.c_str() + at + 10, "%d:%d:%lf", &hours, &minutes, &seconds) != 3)
    return -1;
  return hours * 3600 + minutes * 60 + seconds;
}

nlohmann::json probeMovie(const fs::path& file, bool countFrames) {
  std::string out = commandOutput(
      std::string("timeout 60 ffprobe -v error ") + (countFrames ? "-count_frames " : "") +
      "-show_streams -show_format -of json " + shellQuoted(file) + " 2>/dev/null");
  return nlohmann::json::parse(out, nullptr, false);
}

MovieReading readMovie(const fs::path& file) {
  MovieReading reading;
  CommandResult probe =
      runCommand("timeout 60 ffprobe -v error -count_frames -select_streams v:0 "
                 "-show_entries stream=nb_read_frames -show_entries format=duration "
                 "-of default=nw=1 " +
                 shellQuoted(file) + " 2>&1");
  long frames = 0;
  std::istringstream lines(probe.output);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("nb_read_frames="))
      frames = std::atol(line.c_str() + 15);
    else if (line.starts_with("duration="))
      reading.duration = std::atof(line.c_str() + 9);
  }
  reading.ffmpegReads = probe.status == 0 && frames > 0 && reading.duration > 0;
  reading.detail = "ffprobe: " + probe.output;

  CommandResult discover =
      runCommand("timeout 60 gst-discoverer-1.0 -t 30 " + shellQuoted(file) + " 2>&1");
  size_t at = discover.output.find("Duration: ");
  if (at != std::string::npos)
    reading.gstreamerDuration = clockSeconds(discover.output.substr(at + 10, 20));
  bool video = discover.output.find("video #") != std::string::npos ||
               discover.output.find("video: ") != std::string::npos;
  bool failed = discover.output.find("error") != std::string::npos ||
                discover.output.find("Error") != std::string::npos;
  reading.gstreamerReads = discover.status == 0 && video && !failed;
  reading.detail += "\ngst-discoverer: " + discover.output;
  return reading;
}

std::string rgbFrameAt(const fs::path& file, double seconds) {
  return commandOutput("ffmpeg -v error -ss " + std::to_string(seconds) + " -i " +
                       shellQuoted(file) + " -frames:v 1 -f rawvideo -pix_fmt rgb24 - 2>/dev/null");
}

std::string lastRgbFrame(const fs::path& file, std::size_t frameBytes) {
  std::string frame;
  FILE* pipe = ::popen(
      ("ffmpeg -v error -i " + shellQuoted(file) + " -f rawvideo -pix_fmt rgb24 - 2>/dev/null")
          .c_str(),
      "r");
  if (!pipe)
    return frame;
  std::string next(frameBytes, '\0');
  while (std::fread(next.data(), 1, frameBytes, pipe) == frameBytes)
    frame = next;
  ::pclose(pipe);
  return frame;
}

} // namespace vidorel::testing
