#include "export/movie_tools.h"

#include "capture/ffmpeg_take_writer.h"
#include "store/duration_probe.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
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
    command << " -f lavfi -i anoisesrc=color=pink:amplitude=0.3:seed=" << recipe.toneHz
            << ":sample_rate=" << recipe.sampleRate << ":duration=" << recipe.seconds;
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
                        ":0 -show_data_hash MD5 -show_entries packet=pts_time,dts_time,flags,"
                        "data_hash -of csv=p=0 " +
                        shellQuoted(file);
  std::vector<Packet> result;
  for (const std::string& line : lines(checked(command).output)) {
    std::vector<std::string> parts = fields(line);
    if (parts.size() < 4)
      continue;
    Packet packet;
    packet.pts = parts[0] == "N/A" ? 0 : std::stod(parts[0]);
    packet.dts = parts[1] == "N/A" ? packet.pts : std::stod(parts[1]);
    packet.key = parts[2].find('K') != std::string::npos;
    packet.hash = parts[3];
    result.push_back(packet);
  }
  return result;
}

std::vector<std::string> frameHashes(const fs::path& file) {
  std::string command = "ffmpeg -nostdin -v error -i " + shellQuoted(file) +
                        " -map 0:v:0 -fps_mode passthrough -f framemd5 -";
  std::vector<std::string> result;
  for (const std::string& line : lines(checked(command).output)) {
    if (line[0] == '#')
      continue;
    size_t comma = line.rfind(',');
    result.push_back(line.substr(comma + 1));
  }
  for (std::string& hash : result) {
    size_t first = hash.find_first_not_of(' ');
    hash = hash.substr(first == std::string::npos ? 0 : first);
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
  deep.maxQueuedAudio = 100000;
  deep.stitchableHeaders = stitchableHeaders;
  deep.constantRate = constantRate;
  TakeWriter writer(file, makeFfmpegTakeEncoder(file, width, height, logger, deep), probe, logger);
  auto frameAt = [&](int index, CaptureTime time) {
    auto pixels =
        std::make_shared<std::vector<std::uint8_t>>(static_cast<size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        std::uint8_t* p = pixels->data() + (static_cast<size_t>(y) * width + x) * 4;
        bool bar = ((x + index * 24) / 20 + y / 30) % 2 == 0;
        p[0] = static_cast<std::uint8_t>(bar ? 220 : 40 + index * 20);
        p[1] = static_cast<std::uint8_t>(y + index * 10);
        p[2] = static_cast<std::uint8_t>(x / 2);
        p[3] = 0;
      }
    }
    VideoFrame frame;
    frame.pixels = pixels;
    frame.width = width;
    frame.height = height;
    frame.stride = width * 4;
    frame.timestamp = time;
    frame.status = FrameStatus::complete;
    return frame;
  };
  unsigned state = seed;
  size_t next = 0;
  for (CaptureTime t = 0; t < static_cast<CaptureTime>(seconds * kSecond); t += kSecond / 100) {
    if (next < frames.size() && t >= static_cast<CaptureTime>(frames[next] * kSecond)) {
      writer.appendVideo(frameAt(static_cast<int>(next), kBase + t));
      ++next;
    }
    AudioBuffer buffer;
    buffer.format = SampleFormat::s16;
    buffer.sampleRate = 48000;
    buffer.channels = 2;
    buffer.timestamp = kBase + t;
    std::vector<short> samples(480 * 2);
    short previous = 0;
    for (size_t i = 0; i < samples.size(); i += 2) {
      state = state * 1103515245 + 12345;
      short value = static_cast<short>(((state >> 16) & 0x3fff) - 0x2000);
      previous = static_cast<short>((previous + value) / 2);
      samples[i] = samples[i + 1] = previous;
    }
    buffer.data.resize(samples.size() * 2);
    std::memcpy(buffer.data.data(), samples.data(), buffer.data.size());
    writer.appendAudio(buffer);
  }
  writer.noteUnchangedFrame(kBase + static_cast<CaptureTime>(seconds * kSecond));
  writer.finish();
}

fs::path makeTemporaryFolder(const std::string& label) {
  fs::path folder = fs::temp_directory_path() /
                    ("vidorel-" + label + "-" + std::to_string(::getpid()) + "-XXXXXX");
  std::string pattern = folder.string();
  if (!::mkdtemp(pattern.data()))
    throw std::runtime_error("mkdtemp failed");
  return pattern;
}

} // namespace vidorel::testing
