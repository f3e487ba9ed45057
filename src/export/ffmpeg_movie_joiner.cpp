#include "export/ffmpeg_movie_joiner.h"

#include <utility>

namespace vidorel::exporting {

std::optional<ExportFailure> MovieJoiner::append(const Take& take, const fs::path& file,
                                                 CutJob* video) {
  auto [start, end] = segmentRange(take);
  std::optional<std::string> chapter = std::exchange(nextChapter_, std::nullopt);
  StreamReader audioReader;
  if (auto failure = audioReader.open(file, AVMEDIA_TYPE_AUDIO))
    return failure;
  if (end <= start)
    return std::nullopt;
  if (auto failure = prepareAudioEncoder(file))
    return failure;

  std::int64_t movieStart = cursor_;
  std::int64_t movieEnd = cursor_ + (end - start);
  if (chapter)
    chapters_.push_back({std::move(*chapter), movieStart / kTicksPerMovieUnit});
  if (auto failure = appendAudio(audioReader, start, movieStart, movieEnd))
    return failure;
  if (video) {
    if (auto failure = writeCut(*video, movieStart))
      return failure;
  }
  cursor_ = movieEnd;
  return std::nullopt;
}

std::optional<ExportFailure> MovieJoiner::writeCut(CutJob& cut, std::int64_t movieStart) {
  // Descriptions are added as their first sample comes: a take whose
  // frames are all re-encoded adds none of its own.
  std::optional<std::uint32_t> encodedDescription;
  std::optional<std::uint32_t> takeDescription;
  for (;;) {
    std::optional<CutSample> sample;
    if (auto failure = cut.next(sample))
      return failure;
    if (!sample)
      break;
    if (!takeDescription && !encodedDescription)
      grid_.beginSegment(cut.takeFormat().config);
    std::optional<std::uint32_t>& description =
        sample->encoded ? encodedDescription : takeDescription;
    if (!description)
      description = videoDescription(sample->encoded ? cut.encodedFormat() : cut.takeFormat());
    if (auto failure = writeVideo(sample->data(), sample->size(), movieStart + sample->time,
                                  sample->reorder, sample->sync, *description, cut.file()))
      return failure;
  }
  reencoded_ += cut.reencodedFrames();
  return std::nullopt;
}

} // namespace vidorel::exporting
