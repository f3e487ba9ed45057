// Screen recording with content changing every frame (or, with --content
// slides, a new slide every two seconds): our recorder against ffmpeg -f
// x11grab with libx264 at the same preset. Prints frames written per
// second, frames dropped, CPU seconds per written frame, peak RSS and
// memory growth for both, the audio/video offset, and what one frame costs
// in grabbing and converting (the rest of the CPU is the encoder's).
// --size 1080p records the screen fitted within 1920x1080 (ffmpeg scales
// the same way).
// With --still, a screen that does not change, recorded three ways side by
// side: frames at the moments of change only (as before the constant rate),
// a constant rate with the encoder coding every repeat, and a constant rate
// with repeats as skip frames; CPU seconds and bytes per second of each.
// --constant-rate off and --skip-frames off set the moving screen's writer;
// --rate crf|qp forces the rate factor or the large-screen quantiser (the
// default follows the take's size) and --queue-bytes N the writer's bound.

#include "base/blocking_main_loop.h"
#include "base/log.h"
#include "capture/audio_clock.h"
#include "capture/audio_timeline.h"
#include "capture/bgra_to_i420.h"
#include "capture/ffmpeg_take_writer.h"
#include "capture/screen_recorder.h"
#include "capture/x11_screen_source.h"
#include "store/duration_probe.h"

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace vidorel;

namespace {

double seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double cpuOf(const rusage& usage) {
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long rssKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0)
      return std::atol(line.c_str() + 6);
  return 0;
}

// A separate process (so its CPU is nobody's) that scrolls a textured
// picture and moves a box every 1/60 s: every frame differs.
pid_t startAnimator(bool still, bool slides) {
  pid_t pid = fork();
  if (pid != 0)
    return pid;
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  int w = screen->width_in_pixels;
  int h = screen->height_in_pixels;
  xcb_window_t window = xcb_generate_id(c);
  std::uint32_t values[] = {0, 1};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, w, h, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_map_window(c, window);
  // A picture twice the screen's width of "text": small blocks of varied
  // grey on white, like a page of writing.
  xcb_pixmap_t page = xcb_generate_id(c);
  xcb_create_pixmap(c, screen->root_depth, page, window, 2 * w, h);
  xcb_gcontext_t gc = xcb_generate_id(c);
  std::uint32_t white = 0xffffff;
  xcb_create_gc(c, gc, window, XCB_GC_FOREGROUND, &white);
  xcb_rectangle_t all = {0, 0, static_cast<std::uint16_t>(2 * w), static_cast<std::uint16_t>(h)};
  xcb_poly_fill_rectangle(c, page, gc, 1, &all);
  unsigned seed = 7;
  for (int y = 8; y + 14 < h; y += 22) {
    for (int x = 8; x + 12 < 2 * w; x += 9) {
      seed = seed * 1103515245 + 12345;
      if ((seed >> 16) % 5 == 0) {
        x += 12;
        continue;
      }
      std::uint32_t grey = ((seed >> 8) & 0x7f) * 0x010101;
      xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &grey);
      xcb_rectangle_t glyph = {static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), 7,
                               static_cast<std::uint16_t>(8 + (seed >> 20) % 7)};
      xcb_poly_fill_rectangle(c, page, gc, 1, &glyph);
    }
  }
  xcb_flush(c);
  if (still) {
    xcb_copy_area(c, page, window, gc, 0, 0, 0, 0, w, h);
    xcb_flush(c);
    for (;;)
      pause();
  }
  // Paced on absolute times: sleeping a fixed 1/60 s after drawing would
  // change the screen only about 50 times a second, and a recorder that
  // writes only changed frames would be judged against a slower screen.
  auto next = std::chrono::steady_clock::now();
  if (slides) {
    // A new slide every two seconds: the page moved on by a screen.
    for (int slide = 0;; ++slide) {
      xcb_copy_area(c, page, window, gc, (slide % 2) * w, 0, 0, 0, w, h);
      std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
      next += std::chrono::seconds(2);
      std::this_thread::sleep_until(next);
    }
  }
  for (int frame = 0;; ++frame) {
    int offset = (frame * 6) % w;
    xcb_copy_area(c, page, window, gc, offset, 0, 0, 0, w, h);
    std::uint32_t colour = 0x2060c0 + (frame % 64) * 0x020100;
    xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
    xcb_rectangle_t box = {static_cast<std::int16_t>((frame * 11) % (w - 200)),
                           static_cast<std::int16_t>((frame * 5) % (h - 200)), 200, 200};
    xcb_poly_fill_rectangle(c, window, gc, 1, &box);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    next += std::chrono::microseconds(16667);
    auto now = std::chrono::steady_clock::now();
    if (next < now)
      next = now; // fell behind: go on from here rather than in a burst
    std::this_thread::sleep_until(next);
  }
}

struct Figures {
  double seconds = 0;
  std::uintmax_t bytes = 0;
  long long written = 0;
  long long dropped = 0;
  double cpu = 0;
  long peakRssKiB = 0;
  long rssGrowthKiB = 0;
};

void print(const char* name, const Figures& f) {
  double offered = static_cast<double>(f.written + f.dropped);
  std::printf(
      "%-10s frames/s written %6.2f   dropped %5lld (%5.2f %%)   CPU s/frame %.5f   "
      "peak RSS %6.1f MiB   RSS growth %+6.1f MiB\n",
      name, f.written / f.seconds, f.dropped, offered > 0 ? 100.0 * f.dropped / offered : 0.0,
      f.written > 0 ? f.cpu / f.written : 0.0, f.peakRssKiB / 1024.0, f.rssGrowthKiB / 1024.0);
}

class BenchBackend final : public CaptureBackend {
public:
  BenchBackend(Logger& logger, DurationProbe& probe, TakeEncoderSettings settings)
      : x11_(logger, probe), logger_(logger), probe_(probe), settings_(std::move(settings)) {}
  ShareableContent shareableContent() override { return x11_.shareableContent(); }
  std::unique_ptr<DisplayStream> makeStream(const DisplayInfo& display,
                                            const StreamConfiguration& configuration,
                                            std::function<void(std::string)> stop) override {
    return x11_.makeStream(display, configuration, std::move(stop));
  }
  std::unique_ptr<MicrophoneSession> makeMicrophoneSession() override {
    return x11_.makeMicrophoneSession();
  }
  std::unique_ptr<TakeWriter> makeTakeWriter(const std::filesystem::path& url, int width,
                                             int height) override {
    return std::make_unique<TakeWriter>(
        url, makeFfmpegTakeEncoder(url, width, height, logger_, settings_), probe_, logger_);
  }

private:
  X11CaptureBackend x11_;
  Logger& logger_;
  DurationProbe& probe_;
  TakeEncoderSettings settings_;
};

Task<void> recordFor(ScreenRecorder& recorder, BlockingMainLoop& loop, std::filesystem::path file,
                     double length, long& rssEarly, std::optional<RecordedTake>& take) {
  try {
    recorder.prepareMicrophone();
  } catch (const std::exception&) {
  }
  co_await recorder.startRecording(file, std::nullopt);
  co_await sleepFor(loop, Milliseconds(5000));
  rssEarly = rssKiB();
  co_await sleepFor(loop, Milliseconds(static_cast<long long>(length * 1000) - 5000));
  take = co_await recorder.stopRecording();
  loop.quit();
}

Figures runOurs(const std::filesystem::path& file, double length, TakeEncoderSettings settings,
                RecordingSize size, double& avOffsetMs) {
  Logger logger;
  FfmpegDurationProbe probe;
  BenchBackend backend(logger, probe, std::move(settings));
  BlockingMainLoop loop;
  ScreenRecorder recorder(loop, logger, backend);
  recorder.setOptions({"", size});
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  auto start = std::chrono::steady_clock::now();
  long rssEarly = 0;
  std::optional<RecordedTake> take;
  Task<void> task = recordFor(recorder, loop, file, length, rssEarly, take);
  loop.post([&task] { std::move(task).spawn(); });
  loop.run();
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  Figures f;
  const WriterCounts& counts = recorder.writer()->counts();
  f.seconds = take ? take->duration : elapsed;
  std::error_code error;
  f.bytes = std::filesystem::file_size(file, error);
  f.written = counts.videoWritten;
  f.dropped = counts.videoDropped();
  f.cpu = cpuOf(after) - cpuOf(before);
  f.peakRssKiB = after.ru_maxrss;
  f.rssGrowthKiB = rssKiB() - rssEarly;
  avOffsetMs = recorder.writer()->audioTimeline().lastDrift() * 1000.0 / 48000.0;
  return f;
}

Figures runFfmpeg(const std::filesystem::path& file, double length, const std::string& preset,
                  int threads, int width, int height, PixelSize output) {
  std::string log = file.string() + ".log";
  pid_t pid = fork();
  if (pid == 0) {
    std::string size = std::to_string(width) + "x" + std::to_string(height);
    std::string t = std::to_string(length);
    std::string th = std::to_string(threads);
    const char* display = std::getenv("DISPLAY");
    std::string scale = "scale=" + std::to_string(output.width) + ":" +
                        std::to_string(output.height) + ":flags=area";
    int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 2);
    execlp("ffmpeg", "ffmpeg", "-nostdin", "-y", "-loglevel", "info", "-f", "x11grab", "-framerate",
           "60", "-video_size", size.c_str(), "-i", display, "-t", t.c_str(), "-vf", scale.c_str(),
           "-c:v", "libx264", "-preset", preset.c_str(), "-tune", "zerolatency", "-threads",
           th.c_str(), "-pix_fmt", "yuv420p", file.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Memory growth of the child: RSS at 5 s against the end.
  std::this_thread::sleep_for(std::chrono::seconds(5));
  auto childRss = [pid] {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("VmRSS:", 0) == 0)
        return std::atol(line.c_str() + 6);
    return 0L;
  };
  long early = childRss();
  std::this_thread::sleep_for(std::chrono::duration<double>(std::max(0.0, length - 5.5)));
  long late = childRss();
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Figures f;
  f.seconds = length;
  f.cpu = cpuOf(usage);
  f.peakRssKiB = usage.ru_maxrss;
  f.rssGrowthKiB = late - early;
  // The last progress line: "frame= 1200 fps= 60 ... dup=0 drop=3 ...".
  // All three figures come from that one line (ffmpeg writes progress
  // lines with carriage returns, and a figure missing from the last one
  // must not be taken from an earlier line).
  std::ifstream in(log);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::replace(text.begin(), text.end(), '\r', '\n');
  std::string last;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (line.find("frame=") != std::string::npos)
      last = line;
  auto figure = [&last](const char* name) {
    std::smatch m;
    std::regex re(std::string(name) + R"(=\s*([0-9]+))");
    return std::regex_search(last, m, re) ? std::stoll(m[1]) : 0LL;
  };
  f.written = figure("frame");
  f.dropped = figure("drop");
  long long dup = figure("dup");
  // Duplicated frames stand in for frames x11grab could not grab in time.
  f.written -= dup;
  f.dropped += dup;
  return f;
}

// Ten minutes of a sound card 0.3 % slow and one 0.3 % fast against the
// capture clock, through the same stamping, resampling and placement as a
// take: the largest distance between where audio is written and where it
// belongs, and how many times samples were cut or silence inserted.
double simulatedTenMinuteOffsetMs(double rateError, int& cuts) {
  AudioClock clock;
  AudioTimeline timeline;
  double worst = 0;
  const double origin = 2e9;
  for (int i = 0; i < 60000; ++i) {
    double trueStart = origin + i * 1e7 * (1.0 + rateError);
    double trueEnd = trueStart + 1e7 * (1.0 + rateError);
    CaptureTime arrival = static_cast<CaptureTime>(trueEnd) + 6'000'000 + (i % 4) * 1'000'000;
    int delivered = 480 + clock.compensation(480);
    CaptureTime stamp = clock.stamp(arrival, delivered, 48000, 6'000'000);
    std::int64_t clockPosition =
        static_cast<std::int64_t>(std::floor((stamp - origin) * 48000.0 / 1e9));
    AudioTimeline::Placement placement = timeline.place(clockPosition, delivered);
    if (placement.discard)
      continue;
    double writtenAt = (timeline.position() - (delivered - placement.skip)) / 48.0;
    double belongsAt = (trueStart - origin) / 1e6;
    worst = std::max(worst, std::fabs(writtenAt - belongsAt + placement.skip / 48.0));
  }
  cuts = timeline.corrections();
  return worst;
}

// Milliseconds per frame, on this thread, of grabbing the whole display
// through shared memory and of converting it at full size and fitted
// within 1080p: the stages before the encoder.
struct StageCosts {
  double grab = 0;
  double convertFull = 0;
  double convert1080p = 0;
};

double cpuMsPerRun(int runs, const std::function<void()>& work) {
  timespec start{}, end{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
  for (int i = 0; i < runs; ++i)
    work();
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
  return ((end.tv_sec - start.tv_sec) * 1e3 + (end.tv_nsec - start.tv_nsec) / 1e6) / runs;
}

StageCosts measureStages(const DisplayInfo& display) {
  StageCosts costs;
  const int runs = 30;
  int width = display.width;
  int height = display.height;
  std::size_t bytes = static_cast<std::size_t>(width) * height * 4;
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  auto* pixels = static_cast<std::uint8_t*>(shmat(id, nullptr, 0));
  xcb_shm_seg_t segment = xcb_generate_id(c);
  xcb_shm_attach(c, segment, id, 0);
  shmctl(id, IPC_RMID, nullptr);
  // The server's share of a grab is the copy into shared memory; it is
  // counted here as wall time, as the X server's CPU is not ours.
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < runs; ++i)
    std::free(xcb_shm_get_image_reply(c,
                                      xcb_shm_get_image(c, screen->root, display.x, display.y,
                                                        width, height, ~0u,
                                                        XCB_IMAGE_FORMAT_Z_PIXMAP, segment, 0),
                                      nullptr));
  costs.grab =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() /
      runs;
  auto convert = [&](PixelSize size) {
    std::vector<std::uint8_t> planes(i420Size(size.width, size.height));
    std::uint8_t* u = planes.data() + static_cast<std::size_t>(size.width) * size.height;
    std::uint8_t* v = u + i420ChromaSize(size.width, size.height);
    int cs = (size.width + 1) / 2;
    return cpuMsPerRun(runs, [&] {
      convertBgraToI420Scaled({pixels, width * 4, width, height},
                              {planes.data(), size.width, u, cs, v, cs}, size.width, size.height, 0,
                              size.height);
    });
  };
  costs.convertFull = convert(recordingPixelSize(width, height, RecordingSize::full));
  costs.convert1080p = convert(recordingPixelSize(width, height, RecordingSize::hd1080));
  xcb_shm_detach(c, segment);
  xcb_disconnect(c);
  shmdt(pixels);
  return costs;
}

} // namespace

int main(int argc, char** argv) {
  double length = 20;
  TakeEncoderSettings settings;
  RecordingSize size = RecordingSize::full;
  bool slides = false;
  for (int i = 1; i + 1 < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--seconds")
      length = std::atof(argv[++i]);
    else if (arg == "--preset")
      settings.preset = argv[++i];
    else if (arg == "--threads")
      settings.threads = std::atoi(argv[++i]);
    else if (arg == "--constant-rate")
      settings.constantRate = std::string(argv[++i]) != "off";
    else if (arg == "--skip-frames")
      settings.skipFrames = std::string(argv[++i]) != "off";
    else if (arg == "--size")
      size = recordingSizeNamed(argv[++i]).value_or(RecordingSize::full);
    else if (arg == "--content")
      slides = std::string(argv[++i]) == "slides";
    else if (arg == "--rate")
      settings.rateControl = std::string(argv[++i]) == "qp" ? TakeRateControl::largeScreenQuantiser
                                                            : TakeRateControl::rateFactor;
    else if (arg == "--queue-bytes")
      settings.maxQueuedVideoBytes = std::strtoull(argv[++i], nullptr, 10);
  }
  bool still = false;
  for (int i = 1; i < argc; ++i)
    still = still || std::string(argv[i]) == "--still";
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--drift-only") {
      int slowCuts = 0;
      int fastCuts = 0;
      double slow = simulatedTenMinuteOffsetMs(0.003, slowCuts);
      double fast = simulatedTenMinuteOffsetMs(-0.003, fastCuts);
      std::printf("audio drift, simulated 10 min: card 0.3 %% slow %.1f ms, 0.3 %% fast %.1f ms "
                  "(goal < 40 ms); cuts or inserted silences %d and %d\n",
                  slow, fast, slowCuts, fastCuts);
      return 0;
    }
  }
  if (!std::getenv("DISPLAY")) {
    std::fprintf(stderr, "bench_capture: needs an X display (run bench/capture/run)\n");
    return 1;
  }
  ShareableContent content = x11ShareableContent();
  if (content.displays.empty()) {
    std::fprintf(stderr, "bench_capture: the X display cannot be opened\n");
    return 1;
  }
  const DisplayInfo& display = content.displays.front();
  auto folder = std::filesystem::temp_directory_path() /
                ("vidorel-bench-capture-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);

  PixelSize output = recordingPixelSize(display.width, display.height, size);
  pid_t animator = startAnimator(still, slides);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  if (still) {
    std::printf("still screen: %dx%d, %.0f s, x264 preset %s, threads %d\n", display.width,
                display.height, length, settings.preset.c_str(), settings.threads);
    struct Way {
      const char* name;
      bool constantRate;
      bool skipFrames;
    };
    const Way ways[] = {{"changes only (before)", false, false},
                        {"constant, encoder repeats", true, false},
                        {"constant, skip frames", true, true}};
    double baseCpu = 0;
    double baseBytes = 0;
    for (const Way& way : ways) {
      TakeEncoderSettings run = settings;
      run.constantRate = way.constantRate;
      run.skipFrames = way.skipFrames;
      double offset = 0;
      Figures f = runOurs(folder / "still.mov", length, run, size, offset);
      double bytesPerSecond = static_cast<double>(f.bytes) / f.seconds;
      if (&way == &ways[0]) {
        baseCpu = f.cpu;
        baseBytes = bytesPerSecond;
      }
      std::printf("%-26s CPU %7.3f s (%5.2f %% of a core)   %9.0f bytes/s   vs before: CPU "
                  "%+6.3f %% of a core, %+8.0f bytes/s\n",
                  way.name, f.cpu, 100.0 * f.cpu / f.seconds, bytesPerSecond,
                  100.0 * (f.cpu - baseCpu) / f.seconds, bytesPerSecond - baseBytes);
      std::fflush(stdout);
      std::filesystem::remove(folder / "still.mov");
    }
    kill(animator, SIGTERM);
    waitpid(animator, nullptr, 0);
    std::filesystem::remove_all(folder);
    return 0;
  }
  TakeRateControl rate =
      settings.rateControl.value_or(takeRateControlFor(output.width, output.height));
  std::printf("capture: %dx%d recorded at %dx%d, %.0f s, %s, x264 preset %s, threads "
              "%d, %s, tune zerolatency, no B-frames, constant rate %s, skip frames %s, "
              "writer queue %zu bytes\n",
              display.width, display.height, output.width, output.height, length,
              slides ? "a new slide every 2 s" : "content changing every frame",
              settings.preset.c_str(), settings.threads,
              rate == TakeRateControl::largeScreenQuantiser ? "qp 23" : "crf 23",
              settings.constantRate ? "on" : "off", settings.skipFrames ? "on" : "off",
              settings.maxQueuedVideoBytes);
  std::fflush(stdout);
  double avOffset = 0;
  Figures ours = runOurs(folder / "ours.mov", length, settings, size, avOffset);
  Figures theirs = runFfmpeg(folder / "ffmpeg.mov", length, settings.preset, settings.threads,
                             display.width, display.height, output);
  StageCosts stages = measureStages(display);
  kill(animator, SIGTERM);
  waitpid(animator, nullptr, 0);

  print("vidorel", ours);
  print("ffmpeg", theirs);
  std::printf("ratios (vidorel / ffmpeg): frames/s %.3f   CPU per frame %.3f   peak RSS %.3f\n",
              (ours.written / ours.seconds) / (theirs.written / theirs.seconds),
              (ours.cpu / std::max(1LL, ours.written)) /
                  (theirs.cpu / std::max(1LL, theirs.written)),
              static_cast<double>(ours.peakRssKiB) / theirs.peakRssKiB);
  double cpuMs = 1000.0 * ours.cpu / std::max(1LL, ours.written);
  double stageMs =
      stages.grab + (size == RecordingSize::full ? stages.convertFull : stages.convert1080p);
  std::printf("per frame (ms): grab %.2f (wall, X server)   convert full size %.2f   convert "
              "1080p %.2f   our CPU %.2f, of which encoder and the rest %.2f\n",
              stages.grab, stages.convertFull, stages.convert1080p, cpuMs,
              std::max(0.0, cpuMs - stageMs));
  if (slides)
    std::printf("slides: %lld changes shown in %.0f s, %lld frames written, %lld dropped\n",
                static_cast<long long>(length / 2), length, ours.written, ours.dropped);
  int slowCuts = 0;
  int fastCuts = 0;
  double slow = simulatedTenMinuteOffsetMs(0.003, slowCuts);
  double fast = simulatedTenMinuteOffsetMs(-0.003, fastCuts);
  std::printf("audio/video: offset at the end of the take %.1f ms; simulated 10 min with a "
              "card 0.3 %% slow %.1f ms, 0.3 %% fast %.1f ms (goal < 40 ms), corrected by "
              "resampling; cuts or inserted silences %d and %d\n",
              avOffset, slow, fast, slowCuts, fastCuts);
  std::filesystem::remove_all(folder);
  return 0;
}
