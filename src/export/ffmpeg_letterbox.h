#pragma once

#include "capture/ffmpeg_handles.h"

namespace vidorel::exporting {

// A picture of the movie's size from a decoded frame: the same size is
// copied as it is, another size is scaled into the middle with black bars.
class Letterbox {
public:
  Letterbox(int width, int height) : width_(width), height_(height) {}

  // Null when out of memory or the frame cannot be scaled.
  FramePtr convert(const AVFrame& source);
  FramePtr black();

private:
  void fillBlack(AVFrame& picture) const;

  int width_;
  int height_;
  ScalerPtr scaler_;
};

} // namespace vidorel::exporting
