// Export of ten trimmed 30 s 1920x1080 takes, each cut between key frames,
// against the physical limit (cp of the same source files), against
// ffmpeg's concat demuxer with stream copy over the same ranges (fast but
// not frame-exact) and against a full re-encode of the same cut list with
// libx264 veryfast, and our export with even loudness (each scene's sound
// decoded, measured, limited and encoded once) against it with the sound
// copied. Every contender ends with its output on disk (fsync),
// as our export does. Prints the median wall time of a few rounds, run in
// alternating order, the ratios and the frames re-encoded per cut.
//
// The takes are written once by the take writer (frames changing every
// 1/30 s, a tone as sound) and kept in the temporary folder for later runs.
// With --quick the full re-encode (minutes) is left out.

#include "capture/ffmpeg_take_writer.h"
#include "export/ffmpeg_session_exporter.h"
#include "support/synthetic_media.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

namespace {
using namespace vidorel;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kTakes = 10;
constexpr int kSeconds = 30;
constexpr int kRounds = 3;
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

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

// Written through the take writer's encoder, waiting whenever it is busy
// (a take in the recorder would drop frames instead; here every frame
// counts).
bool makeTakes(const fs::path& folder) {
  constexpr CaptureTime kMs = 1'000'000;
  // Takes kept from a run with an earlier take writer are made again: the
  // export's speed depends on how the takes were encoded.
  constexpr const char* kWriterFormat = "stitchable headers\n";
  fs::path stamp = folder / "writer-format";
  std::ifstream stampIn(stamp);
  std::string kept((std::istreambuf_iterator<char>(stampIn)), std::istreambuf_iterator<char>());
  if (kept != kWriterFormat)
    fs::remove_all(folder);
  fs::create_directories(folder);
  Logger logger;
  for (int i = 0; i < kTakes; ++i) {
    fs::path file = takeFile(folder, i);
    if (fs::exists(file))
      continue;
    std::fprintf(stderr, "making %s\n", file.c_str());
    fs::path partial = folder / "partial.mov";
    fs::remove(partial);
    std::unique_ptr<TakeEncoder> encoder = makeFfmpegTakeEncoder(partial, kWidth, kHeight, logger);
    if (!encoder->startWriting())
      return false;
    int frame = 0;
    for (CaptureTime t = 0; t < kSeconds * 1000 * kMs; t += 10 * kMs) {
      if (t >= frame * 1000 * kMs / 30) {
        while (!encoder->isReadyForVideo())
          std::this_thread::sleep_for(std::chrono::milliseconds(2));
        encoder->appendVideo(vidorel::testing::syntheticFrame(kWidth, kHeight, frame + i * 7, t),
                             t);
        ++frame;
      }
      AudioBuffer buffer = vidorel::testing::syntheticSound(t, 300 + 40 * i, nullptr, 48000, 2,
                                                            0.25, SampleFormat::s16);
      while (!encoder->isReadyForAudio())
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      encoder->appendAudio(buffer, t / 1000 * 48 / 1000, 0);
    }
    encoder->finishWriting(kSeconds * 1000 * kMs);
    if (encoder->status() != WriterStatus::completed)
      return false;
    encoder.reset();
    fs::rename(partial, file);
  }
  std::ofstream(stamp) << kWriterFormat;
  return true;
}

// CPU time of this process's threads and of its finished children.
double cpuSeconds() {
  auto seconds = [](const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  };
  rusage self{};
  rusage children{};
  getrusage(RUSAGE_SELF, &self);
  getrusage(RUSAGE_CHILDREN, &children);
  return seconds(self) + seconds(children);
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

int main(int argc, char** argv) {
  bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
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
  fs::path even = out / "even.mov";
  ExportOptions evenLoudness;
  evenLoudness.evenLoudness = true;
  fs::path ffmpegMovie = out / "ffmpeg.mov";
  fs::path encodedMovie = out / "reencoded.mov";
  ExportStatistics statistics;
  fs::path copies = out / "cp";
  std::string sources;
  for (int i = 0; i < kTakes; ++i)
    sources += " " + quoted(takeFile(takes, i));

  struct Contender {
    const char* name;
    std::function<bool()> run;
    std::vector<double> seconds;
    std::vector<double> cpu;
    // The full re-encode takes minutes: once is enough to see the ratio.
    bool once = false;
  };
  std::vector<Contender> contenders = {
      {"vidorel export",
       [&] {
         statistics = {};
         return !exportMovie(selected, takes, ours, &statistics).has_value();
       },
       {},
       {}},
      {"vidorel export, even loudness",
       [&] { return !exportMovie(selected, takes, even, nullptr, evenLoudness).has_value(); },
       {},
       {}},
      {"cp + sync",
       [&] {
         fs::remove_all(copies);
         fs::create_directories(copies);
         std::string copied;
         for (int i = 0; i < kTakes; ++i)
           copied += " " + quoted(takeFile(copies, i));
         return run("cp" + sources + " " + quoted(copies) + " && sync" + copied);
       },
       {},
       {}},
      {"ffmpeg concat -c copy + sync",
       [&] {
         return run("ffmpeg -nostdin -v error -y -f concat -safe 0 -i " +
                    quoted(out / "concat.txt") + " -c copy " + quoted(ffmpegMovie) + " && sync " +
                    quoted(ffmpegMovie));
       },
       {},
       {}},
      {"full re-encode (x264 veryfast)",
       [&] {
         std::string inputs;
         std::string graph;
         for (int i = 0; i < kTakes; ++i) {
           inputs += " -ss " + std::to_string(selected[static_cast<size_t>(i)].trimStart) +
                     " -to " + std::to_string(selected[static_cast<size_t>(i)].trimEnd) + " -i " +
                     quoted(takeFile(takes, i));
           graph += "[" + std::to_string(i) + ":v][" + std::to_string(i) + ":a]";
         }
         graph += "concat=n=" + std::to_string(kTakes) + ":v=1:a=1[v][a]";
         return run("ffmpeg -nostdin -v error -y" + inputs + " -filter_complex '" + graph +
                    "' -map '[v]' -map '[a]' -c:v libx264 -preset veryfast -c:a aac " +
                    quoted(encodedMovie) + " && sync " + quoted(encodedMovie));
       },
       {},
       {},
       true},
  };
  if (quick)
    contenders.pop_back();

  // Freshly made takes are still being written back, which would slow
  // whichever contender runs first; then warm the page cache so every
  // contender reads from memory alike.
  run("sync");
  run("cat" + sources + " >/dev/null");
  for (int round = 0; round < kRounds; ++round) {
    for (size_t k = 0; k < contenders.size(); ++k) {
      Contender& contender = contenders[(k + round) % contenders.size()];
      if (contender.once && !contender.seconds.empty())
        continue;
      Clock::time_point start = Clock::now();
      double cpuStart = cpuSeconds();
      if (!contender.run()) {
        std::fprintf(stderr, "bench_export: %s failed\n", contender.name);
        return 1;
      }
      contender.seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
      contender.cpu.push_back(cpuSeconds() - cpuStart);
    }
  }

  double oursSeconds = median(contenders[0].seconds);
  double evenSeconds = median(contenders[1].seconds);
  double cpSeconds = median(contenders[2].seconds);
  double ffmpegSeconds = median(contenders[3].seconds);
  std::printf("%d takes of %d s at 1920x1080, %.1f s kept, %.1f MB of takes\n", kTakes, kSeconds,
              keptSeconds, sourceBytes / 1e6);
  std::printf("output: vidorel %.1f MB, ffmpeg %.1f MB\n", bytesOf(ours) / 1e6,
              bytesOf(ffmpegMovie) / 1e6);
  for (const Contender& contender : contenders)
    std::printf("%-30s median %.3f s, best %.3f s over %zu rounds, CPU %.3f s\n", contender.name,
                median(contender.seconds),
                *std::min_element(contender.seconds.begin(), contender.seconds.end()),
                contender.seconds.size(), median(contender.cpu));
  std::printf("vidorel / cp:             %.2f\n", oursSeconds / cpSeconds);
  std::printf("even loudness / copied:   %.2f (goal <= 1.3)\n", evenSeconds / oursSeconds);
  std::printf("vidorel / concat copy:    %.2f (goal <= 3)\n", oursSeconds / ffmpegSeconds);
  if (!quick) {
    double encodedSeconds = median(contenders[4].seconds);
    std::printf("full re-encode / vidorel: %.1f (goal >= 10)\n", encodedSeconds / oursSeconds);
  }
  std::printf("frames re-encoded per cut:");
  for (std::int64_t frames : statistics.reencodedFrames)
    std::printf(" %lld", static_cast<long long>(frames));
  std::printf("\n");
  fs::remove_all(out);
  return 0;
}
