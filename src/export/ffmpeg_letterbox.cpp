#include "export/ffmpeg_letterbox.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace vidorel::exporting {

FramePtr Letterbox::convert(const AVFrame& source) {
  // The same size: a new reference to the decoded picture, not a copy
  // (the encoder copies it into its own buffers anyway). Only the
  // picture: the take's SEI messages and such stay behind.
  if (source.width == width_ && source.height == height_ && source.format == AV_PIX_FMT_YUV420P) {
    FramePtr picture(av_frame_clone(&source));
    while (picture && picture->nb_side_data > 0)
      av_frame_remove_side_data(picture.get(), picture->side_data[0]->type);
    return picture;
  }
  // Another size: scaled into the middle of a black picture.
  FramePtr picture = black();
  if (!picture)
    return nullptr;
  int scaledWidth = width_;
  int scaledHeight = height_;
  if (static_cast<std::int64_t>(source.width) * height_ >
      static_cast<std::int64_t>(source.height) * width_)
    scaledHeight = static_cast<int>(std::int64_t{source.height} * width_ / source.width);
  else
    scaledWidth = static_cast<int>(std::int64_t{source.width} * height_ / source.height);
  scaledWidth = std::max(2, scaledWidth & ~1);
  scaledHeight = std::max(2, scaledHeight & ~1);
  int left = ((width_ - scaledWidth) / 2) & ~1;
  int top = ((height_ - scaledHeight) / 2) & ~1;
  scaler_.reset(sws_getCachedContext(
      scaler_.release(), source.width, source.height, static_cast<AVPixelFormat>(source.format),
      scaledWidth, scaledHeight, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!scaler_)
    return nullptr;
  std::uint8_t* planes[4] = {picture->data[0] + top * picture->linesize[0] + left,
                             picture->data[1] + top / 2 * picture->linesize[1] + left / 2,
                             picture->data[2] + top / 2 * picture->linesize[2] + left / 2, nullptr};
  sws_scale(scaler_.get(), source.data, source.linesize, 0, source.height, planes,
            picture->linesize);
  return picture;
}

FramePtr Letterbox::black() {
  FramePtr picture = makeFrame();
  if (!picture)
    return nullptr;
  picture->format = AV_PIX_FMT_YUV420P;
  picture->width = width_;
  picture->height = height_;
  if (av_frame_get_buffer(picture.get(), 0) < 0)
    return nullptr;
  fillBlack(*picture);
  return picture;
}

void Letterbox::fillBlack(AVFrame& picture) const {
  for (int y = 0; y < height_; ++y)
    std::memset(picture.data[0] + y * picture.linesize[0], 16, static_cast<size_t>(width_));
  for (int plane = 1; plane < 3; ++plane) {
    for (int y = 0; y < height_ / 2; ++y)
      std::memset(picture.data[plane] + y * picture.linesize[plane], 128,
                  static_cast<size_t>(width_ / 2));
  }
}

} // namespace vidorel::exporting
