#include "export/chapters.h"

#include "base/format.h"
#include "export/quicktime_writer.h"
#include "export/segment_edits.h"

#include <algorithm>

namespace vidorel {

std::vector<std::string> chapterTitles(const Session& session) {
  std::vector<std::string> titles;
  for (std::size_t index = 0; index < session.scenes.size(); ++index) {
    const RecordingScene& scene = session.scenes[index];
    if (scene.selectedTake())
      titles.push_back(sceneLabel(scene, static_cast<int>(index)));
  }
  return titles;
}

std::vector<MovieChapterEntry> movieChapters(const Session& session) {
  std::vector<MovieChapterEntry> chapters;
  std::int64_t cursor = 0; // movie timescale
  for (std::size_t index = 0; index < session.scenes.size(); ++index) {
    const RecordingScene& scene = session.scenes[index];
    const Take* take = scene.selectedTake();
    if (!take)
      continue;
    std::int64_t length =
        toMovieTime(take->trimEnd) - std::max<std::int64_t>(0, toMovieTime(take->trimStart));
    if (length <= 0)
      continue;
    chapters.push_back({sceneLabel(scene, static_cast<int>(index)),
                        static_cast<double>(cursor) / kMovieTimescale});
    cursor += length;
  }
  return chapters;
}

std::string chapterTime(double seconds) {
  long long whole = std::max(0LL, static_cast<long long>(seconds));
  if (whole < 3600)
    return formatString("%lld:%02lld", whole / 60, whole % 60);
  return formatString("%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
}

std::string chapterList(const std::vector<MovieChapterEntry>& chapters) {
  std::string text;
  for (const MovieChapterEntry& chapter : chapters)
    text += chapterTime(chapter.start) + " " + chapter.title + "\n";
  return text;
}

} // namespace vidorel
