#pragma once

// The chapters of an exported movie: one per scene that goes into it,
// titled with the scene's label, and the list as video platforms take it in
// a description.

#include "model/session.h"

#include <string>
#include <vector>

namespace vidorel {

struct MovieChapterEntry {
  std::string title;
  double start = 0; // seconds into the movie

  bool operator==(const MovieChapterEntry&) const = default;
};

// The chapter title of each selected take, in the order of selectedTakes().
std::vector<std::string> chapterTitles(const Session& session);

// One chapter per scene with a selected take of some length, starting
// where the export places that take: after the trimmed lengths before it,
// trim points rounded as the export rounds them.
std::vector<MovieChapterEntry> movieChapters(const Session& session);

// "m:ss", or "h:mm:ss" from an hour on (whole seconds, truncated).
std::string chapterTime(double seconds);

// One line per chapter, "0:00 Intro", each ended by a newline.
std::string chapterList(const std::vector<MovieChapterEntry>& chapters);

} // namespace vidorel
