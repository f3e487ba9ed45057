#include "workflow/screen_choice.h"

#include "base/format.h"

#include <algorithm>
#include <cmath>

namespace vidorel {

namespace {

constexpr int kFitWidth = 1920;
constexpr int kFitHeight = 1080;

} // namespace

std::string_view rawValue(RecordingSize size) {
  return size == RecordingSize::hd1080 ? "1080p" : "full";
}

std::optional<RecordingSize> recordingSizeNamed(std::string_view name) {
  if (name == "full")
    return RecordingSize::full;
  if (name == "1080p")
    return RecordingSize::hd1080;
  return std::nullopt;
}

PixelSize recordingPixelSize(int width, int height, RecordingSize size) {
  if (width <= 0 || height <= 0)
    return {};
  double scale = 1.0;
  if (size == RecordingSize::hd1080)
    scale = std::min(
        {1.0, static_cast<double>(kFitWidth) / width, static_cast<double>(kFitHeight) / height});
  int scaledWidth = static_cast<int>(std::lround(width * scale));
  int scaledHeight = static_cast<int>(std::lround(height * scale));
  // Rounding may not push a side past the screen or the 1080p box.
  scaledWidth = std::min(scaledWidth, width) & ~1;
  scaledHeight = std::min(scaledHeight, height) & ~1;
  return {std::max(scaledWidth, 2), std::max(scaledHeight, 2)};
}

DisplayChoice chooseDisplay(const ShareableContent& content, const std::string& wanted) {
  if (content.displays.empty())
    return {};
  if (wanted.empty())
    return {&content.displays.front(), false};
  for (const DisplayInfo& display : content.displays)
    if (display.name == wanted)
      return {&display, false};
  return {&content.displays.front(), true};
}

std::string describeDisplay(const DisplayInfo& display) {
  return formatString("%s %dx%d+%d+%d", display.name.c_str(), display.width, display.height,
                      display.x, display.y);
}

} // namespace vidorel
