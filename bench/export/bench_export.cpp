// Export of ten trimmed 30 s 1920x1080 takes, against the physical limit
// (cp of the same source files) and against ffmpeg's concat demuxer with
// stream copy over the same ranges. Every contender ends with its output
// on disk (fsync), as our export does. Prints the median wall time of a
// few rounds, run in alternating order, and the ratios.
//
// The takes are made once with the ffmpeg command (H.264 with ffmpeg's
// default key-frame interval, AAC) and kept in the temporary folder for
// later runs.

#include "export/ffmpeg_session_exporter.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {
using namespace vidorel;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kTakes = 10;
constexpr int kSeconds = 30;
constexpr int kRounds = 5;

std::string quoted(const fs::path& path) {
  std::string text = "'";
  for (char c : path.string()) {
    if (c == '\'')
      text += "'\\''";
    else
      text += c;
  }
  return text + "'";
}

bool run(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

fs::path takeFile(const fs::path& folder, int index) {
  return folder / ("scene-" + std::to_string(index + 1) + "-take-1.mov");
}

// Cuts that fall between key frames, different for every take.
Take trimmedTake(int index) {
  Take take = Take::make(Uuid::random(), "scene-" + std::to_string(index + 1) + "-take-1.mov",
                         kSeconds, Timestamp{});
  take.trimStart = 1.3 + 0.37 * index;
  take.trimEnd = kSeconds - 0.9 - 0.21 * index;
  return take;
}

bool makeTakes(const fs::path& folder) {
  fs::create_directories(folder);
  for (int i = 0; i < kTakes; ++i) {
    fs::path file = takeFile(folder, i);
    if (fs::exists(file))
      continue;
    std::fprintf(stderr, "making %s\n", file.c_str());
    fs::path partial = folder / "partial.mov";
    std::string command =
        "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=30:duration=" +
        std::to_string(kSeconds) + " -f lavfi -i sine=frequency=" + std::to_string(300 + 40 * i) +
        ":sample_rate=48000:duration=" + std::to_string(kSeconds) +
        " -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -b:a 128k " + quoted(partial);
    if (!run(command))
      return false;
    fs::rename(partial, file);
  }
  return true;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::uintmax_t bytesOf(const fs::path& file) {
  std::error_code error;
  std::uintmax_t size = fs::file_size(file, error);
  return error ? 0 : size;
}

} // namespace

int main() {
  fs::path root = fs::temp_directory_path() / "vidorel-bench-export";
  fs::path takes = root / "Talk.vidorel" / "takes";
  fs::path out = root / "out";
  if (!makeTakes(takes)) {
    std::fprintf(stderr, "bench_export: could not make the takes with ffmpeg\n");
    return 1;
  }
  fs::remove_all(out);
  fs::create_directories(out);

  std::vector<Take> selected;
  std::uintmax_t sourceBytes = 0;
  double keptSeconds = 0;
  {
    std::ofstream list(out / "concat.txt");
    for (int i = 0; i < kTakes; ++i) {
      Take take = trimmedTake(i);
      selected.push_back(take);
      sourceBytes += bytesOf(takeFile(takes, i));
      keptSeconds += take.trimEnd - take.trimStart;
      list << "file " << quoted(takeFile(takes, i)) << "\ninpoint " << take.trimStart
           << "\noutpoint " << take.trimEnd << "\n";
    }
  }

  fs::path ours = out / "ours.mov";
  fs::path ffmpegMovie = out / "ffmpeg.mov";
  fs::path copies = out / "cp";
  std::string sources;
  for (int i = 0; i < kTakes; ++i)
    sources += " " + quoted(takeFile(takes, i));

  struct Contender {
    const char* name;
    std::function<bool()> run;
    std::vector<double> seconds;
  };
  std::vector<Contender> contenders = {
      {"vidorel export", [&] { return !exportMovie(selected, takes, ours).has_value(); }, {}},
      {"cp + sync",
       [&] {
         fs::remove_all(copies);
         fs::create_directories(copies);
         std::string copied;
         for (int i = 0; i < kTakes; ++i)
           copied += " " + quoted(takeFile(copies, i));
         return run("cp" + sources + " " + quoted(copies) + " && sync" + copied);
       },
       {}},
      {"ffmpeg concat -c copy + sync",
       [&] {
         return run("ffmpeg -nostdin -v error -y -f concat -safe 0 -i " +
                    quoted(out / "concat.txt") + " -c copy " + quoted(ffmpegMovie) + " && sync " +
                    quoted(ffmpegMovie));
       },
       {}},
  };

  // Freshly made takes are still being written back, which would slow
  // whichever contender runs first; then warm the page cache so every
  // contender reads from memory alike.
  run("sync");
  run("cat" + sources + " >/dev/null");
  for (int round = 0; round < kRounds; ++round) {
    for (size_t k = 0; k < contenders.size(); ++k) {
      Contender& contender = contenders[(k + round) % contenders.size()];
      Clock::time_point start = Clock::now();
      if (!contender.run()) {
        std::fprintf(stderr, "bench_export: %s failed\n", contender.name);
        return 1;
      }
      contender.seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
  }

  double oursSeconds = median(contenders[0].seconds);
  double cpSeconds = median(contenders[1].seconds);
  double ffmpegSeconds = median(contenders[2].seconds);
  std::printf("%d takes of %d s at 1920x1080, %.1f s kept, %.1f MB of takes\n", kTakes, kSeconds,
              keptSeconds, sourceBytes / 1e6);
  std::printf("output: vidorel %.1f MB, ffmpeg %.1f MB\n", bytesOf(ours) / 1e6,
              bytesOf(ffmpegMovie) / 1e6);
  for (const Contender& contender : contenders)
    std::printf("%-30s median %.3f s, best %.3f s over %d rounds\n", contender.name,
                median(contender.seconds),
                *std::min_element(contender.seconds.begin(), contender.seconds.end()), kRounds);
  std::printf("vidorel / cp:     %.2f (goal <= 1.5)\n", oursSeconds / cpSeconds);
  std::printf("vidorel / ffmpeg: %.2f (goal <= 1.0)\n", oursSeconds / ffmpegSeconds);
  fs::remove_all(out);
  return 0;
}
