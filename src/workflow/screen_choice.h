#pragma once

// Which monitor a take records and at what size: plain rules shared by the
// recorder, the settings window and `vidorel record`.

#include "workflow/recording_types.h"

#include <optional>
#include <string>
#include <string_view>

namespace vidorel {

enum class RecordingSize { full, hd1080 };

// "full" and "1080p": the stored and command-line names.
std::string_view rawValue(RecordingSize size);
std::optional<RecordingSize> recordingSizeNamed(std::string_view name);

struct PixelSize {
  int width = 0;
  int height = 0;
};

// The size a take of a display this big is written at: full size, or fit
// within 1920 x 1080 with the aspect ratio kept and never enlarged. Both
// sides are even, as H.264 in 4:2:0 needs (an odd side loses a pixel).
PixelSize recordingPixelSize(int width, int height, RecordingSize size);

struct DisplayChoice {
  // Null when there is no display at all.
  const DisplayInfo* display = nullptr;
  // A monitor was asked for by name and is gone: the first one stands in.
  bool fellBack = false;
};

// The display named `wanted`, or the first display when `wanted` is empty
// or names none of them.
DisplayChoice chooseDisplay(const ShareableContent& content, const std::string& wanted);

// "NAME WIDTHxHEIGHT+X+Y": how a monitor is listed.
std::string describeDisplay(const DisplayInfo& display);

} // namespace vidorel
