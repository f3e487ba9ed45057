// Save and load of a large session: 500 scenes of 4 takes each. Prints the
// median of many runs; the machine is shared, so single runs say little.

#include "base/log.h"
#include "model/manifest.h"
#include "store/session_store.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <vector>

namespace {
using namespace vidorel;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class NoProbe final : public DurationProbe {
public:
  std::optional<double> duration(const fs::path&) override { return std::nullopt; }
  std::optional<std::string> whyUnusable(const fs::path&) override { return std::nullopt; }
};

Session largeSession(const fs::path& folder) {
  Session session(folder);
  session.scenes.clear();
  Timestamp now = currentTimestamp();
  for (int s = 0; s < 500; ++s) {
    RecordingScene scene = RecordingScene::make();
    if (s % 2 == 0)
      scene.name = "Scene about topic " + std::to_string(s);
    for (int t = 0; t < 4; ++t) {
      Take take =
          Take::make(Uuid::random(),
                     "scene-" + std::to_string(s + 1) + "-take-" + std::to_string(t + 1) + ".mov",
                     12.345 + s * 0.01 + t, now);
      take.trimStart = 0.5 + t * 0.1;
      take.trimEnd = take.duration - 0.25;
      if (t == 1)
        take.name = "Keeper";
      scene.takes.push_back(take);
    }
    scene.selectedTakeID = scene.takes[s % 4].id;
    session.scenes.push_back(std::move(scene));
  }
  return session;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

template <typename Fn> double medianMilliseconds(int runs, Fn&& fn) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    Clock::time_point start = Clock::now();
    fn();
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return median(times);
}

} // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 101;
  fs::path folder =
      fs::temp_directory_path() / ("vidorel-bench-manifest-" + std::to_string(getpid()));
  fs::create_directories(folder / "takes");
  Logger logger;
  NoProbe probe;
  SessionStore store(logger, probe);
  Session session = largeSession(folder);

  if (std::error_code error = store.save(session)) {
    std::fprintf(stderr, "save failed: %s\n", error.message().c_str());
    return 1;
  }
  size_t bytes = fs::file_size(folder / "manifest.json");

  bool failed = false;
  double encode = medianMilliseconds(runs, [&] {
    if (!encodeManifest(SessionManifest(session)))
      failed = true;
  });
  double save = medianMilliseconds(runs, [&] {
    if (store.save(session))
      failed = true;
  });
  double load = medianMilliseconds(runs, [&] {
    if (!store.load(folder))
      failed = true;
  });
  std::string text = *encodeManifest(SessionManifest(session));
  double decode = medianMilliseconds(runs, [&] {
    Expected<SessionManifest, DecodingError> manifest = decodeManifest(text);
    if (!manifest || !manifest->makeSession(folder, std::nullopt))
      failed = true;
  });
  fs::remove_all(folder);
  if (failed) {
    std::fprintf(stderr, "a save or load failed during the run\n");
    return 1;
  }

  std::printf("manifest: 500 scenes x 4 takes, %zu bytes, median of %d runs\n", bytes, runs);
  std::printf("  save (encode, write, fsync, rename, folder sync): %.2f ms   goal < 5 ms\n", save);
  std::printf("  load (read, decode, validate, build session):     %.2f ms   goal < 10 ms\n", load);
  std::printf("  encode only:                                      %.2f ms\n", encode);
  std::printf("  decode + validate + build only:                   %.2f ms\n", decode);
  return 0;
}
