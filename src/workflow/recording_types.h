#pragma once

// What the workflow and the recorder say to each other about displays and
// takes. The workflow owns these words; the recorder implements them.

#include <filesystem>
#include <string>
#include <vector>

namespace vidorel {

// A display that can be recorded, in pixels.
struct DisplayInfo {
  std::string name;
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// What can be recorded right now: the displays, first one first.
struct ShareableContent {
  std::vector<DisplayInfo> displays;
};

// A finished take: its file and the duration read back from it.
struct RecordedTake {
  std::filesystem::path url;
  double duration = 0;
};

} // namespace vidorel
