#include "export/ffmpeg_session_exporter.h"

#include "base/files.h"
#include "export/ffmpeg_movie_joiner.h"
#include "export/segment_edits.h"

#include <algorithm>
#include <thread>

namespace vidorel {
namespace fs = std::filesystem;
using namespace exporting;

namespace {

// The movie's picture: the size and parameter sets of the first take that
// has video; a size of zero when none has.
struct MoviePicture {
  int width = 0;
  int height = 0;
  std::optional<AvcParameterSets> sets;
};

MoviePicture moviePicture(const std::vector<Take>& takes, const fs::path& takesDirectory) {
  for (const Take& take : takes) {
    StreamReader reader;
    if (reader.open(takesDirectory / take.filename, AVMEDIA_TYPE_VIDEO) || !reader.hasStream())
      continue;
    const AVCodecParameters& codec = reader.codec();
    if (codec.width <= 0 || codec.height <= 0)
      continue;
    MoviePicture picture;
    picture.width = codec.width;
    picture.height = codec.height;
    if (codec.codec_id == AV_CODEC_ID_H264)
      picture.sets = parseAvcConfig(takeVideoFormat(codec).config);
    return picture;
  }
  return {};
}

// Even sound is made beside the picture, the first and the second half of
// the movie (at a join) each on a core of its own: encoding the sound costs
// more than joining the picture.
std::vector<std::unique_ptr<EvenSoundJob>> startSoundJobs(const std::vector<Take>& takes,
                                                          const fs::path& takesDirectory) {
  std::int64_t total = 0;
  for (const Take& take : takes) {
    auto [start, end] = segmentRange(take);
    total += std::max<std::int64_t>(0, end - start);
  }
  std::size_t half = 0;
  for (std::int64_t length = 0; half < takes.size() && 2 * length < total; ++half) {
    auto [start, end] = segmentRange(takes[half]);
    length += std::max<std::int64_t>(0, end - start);
  }
  std::vector<std::unique_ptr<EvenSoundJob>> jobs;
  jobs.push_back(std::make_unique<EvenSoundJob>(
      std::vector<Take>(takes.begin(), takes.begin() + static_cast<std::ptrdiff_t>(half)),
      takesDirectory, 0));
  if (half < takes.size())
    jobs.push_back(std::make_unique<EvenSoundJob>(
        std::vector<Take>(takes.begin() + static_cast<std::ptrdiff_t>(half), takes.end()),
        takesDirectory, jobs.back()->cursorAfter()));
  return jobs;
}

} // namespace

std::optional<ExportFailure> exportMovie(const std::vector<Take>& takes,
                                         const fs::path& takesDirectory,
                                         const fs::path& destinationPath,
                                         ExportStatistics* statistics,
                                         const ExportOptions& options) {
  std::error_code error;
  fs::path destination = fs::absolute(destinationPath, error);
  if (error)
    return fileFailure(destinationPath, error.message());
  if (auto refused = checkExportDestination(takes, takesDirectory, destination))
    return refused;
  for (const Take& take : takes) {
    if (!isPlainTakeFilename(take.filename))
      return fileFailure(take.filename, "not a file of the session's takes folder");
  }

  // x264 and the AAC encoder print statistics for every run otherwise.
  if (av_log_get_level() > AV_LOG_WARNING)
    av_log_set_level(AV_LOG_WARNING);
  // The movie replaces destination only once it is complete; a killed
  // export leaves no partial movie behind.
  ReplacementFile output;
  if (std::error_code created = output.create(destination))
    return fileFailure(destination, created.message());
  std::optional<ExportFailure> failure;
  {
    std::vector<std::unique_ptr<EvenSoundJob>> sound;
    if (options.evenLoudness)
      sound = startSoundJobs(takes, takesDirectory);
    MovieJoiner joiner;
    std::vector<EvenSoundJob*> soundJobs;
    for (const auto& job : sound)
      soundJobs.push_back(job.get());
    joiner.takeSoundFrom(std::move(soundJobs));
    if (std::error_code started = joiner.start(output.descriptor()))
      return fileFailure(destination, started.message());
    MoviePicture picture = moviePicture(takes, takesDirectory);
    // The videos of the next few takes are made while one is joined.
    // Where several are made at once they fill the cores, and decoders
    // and encoders of one thread each spend less on keeping in step.
    auto hasVideo = [&](const Take& take) {
      auto [start, end] = segmentRange(take);
      return picture.width > 0 && end > start;
    };
    int threads = std::count_if(takes.begin(), takes.end(), hasVideo) > 1 ? 1 : kTakeThreads;
    auto startCut = [&](std::size_t index) -> std::unique_ptr<CutJob> {
      if (!hasVideo(takes[index]))
        return nullptr;
      auto [start, end] = segmentRange(takes[index]);
      return std::make_unique<CutJob>(takesDirectory / takes[index].filename, start, end,
                                      picture.width, picture.height, threads, picture.sets);
    };
    std::deque<std::unique_ptr<CutJob>> cuts; // of takes i, i + 1...
    std::size_t started = 0;
    for (std::size_t i = 0; i < takes.size(); ++i) {
      const Take& take = takes[i];
      for (; started < takes.size() && started < i + kCutsAtOnce; ++started)
        cuts.push_back(startCut(started));
      std::unique_ptr<CutJob> current = std::move(cuts.front());
      cuts.pop_front();
      if (i < options.chapterTitles.size())
        joiner.startChapter(options.chapterTitles[i]);
      std::int64_t before = joiner.reencodedFrames();
      failure = joiner.append(take, takesDirectory / take.filename, current.get());
      if (failure)
        break;
      if (statistics)
        statistics->reencodedFrames.push_back(joiner.reencodedFrames() - before);
    }
    if (!failure && joiner.isEmpty())
      failure = ExportFailure::own(ExportError::exportFailed);
    if (!failure) {
      if (std::error_code finished = joiner.finish())
        failure = fileFailure(destination, finished.message());
    }
  }
  if (failure)
    return failure;
  if (std::error_code committed = output.commit())
    return fileFailure(destination, committed.message());
  return std::nullopt;
}

FfmpegSessionExporter::~FfmpegSessionExporter() {
  std::lock_guard lock(mutex_);
  for (auto& worker : workers_)
    worker->thread.join();
}

void FfmpegSessionExporter::startWorker(std::function<void()> work) {
  std::lock_guard lock(mutex_);
  for (auto it = workers_.begin(); it != workers_.end();) {
    if ((*it)->finished) {
      (*it)->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
  auto worker = std::make_unique<Worker>();
  Worker* raw = worker.get();
  raw->thread = std::thread([raw, work = std::move(work)] {
    work();
    raw->finished = true;
  });
  workers_.push_back(std::move(worker));
}

Task<std::optional<ExportFailure>> FfmpegSessionExporter::exportTakes(std::vector<Take> takes,
                                                                      fs::path takesDirectory,
                                                                      fs::path destination,
                                                                      ExportOptions options) {
  using Result = std::optional<ExportFailure>;
  // The awaiter is a named local: GCC 12 destroys the captures of a lambda
  // temporary inside a co_await expression twice.
  CallbackAwaiter<Result> exported(
      loop_, [this, takes = std::move(takes), takesDirectory = std::move(takesDirectory),
              destination = std::move(destination),
              options = std::move(options)](std::function<void(Result)> done) {
        startWorker(
            [=] { done(exportMovie(takes, takesDirectory, destination, nullptr, options)); });
      });
  Result result = co_await exported;
  co_return result;
}

} // namespace vidorel
